// Test support for the control channel: a scripted kernel on the far end of
// the connection, a manager wired to it, and helpers to read the Kernel log.
//
// The peer frames bytes with its own code (not the daemon's), so the tests
// check the daemon against the wire format rather than against itself.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"
#include "platform/log.h"

namespace zelvo::controltest {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The manager's files (work directory, control.sock) live under a temporary
// root for the whole test process; it is set before the first test's threads
// start, as the root must be.
inline const std::string& sandboxRoot() {
  struct Root {
    std::string dir;
    Root() {
      char templ[] = "/tmp/zelvo-ctl-XXXXXX";
      const char* made = ::mkdtemp(templ);
      if (!made) std::abort();
      dir = made;
      platform::setRoot(dir);
    }
    ~Root() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  };
  static Root root;
  return root.dir;
}

// ---- Raw framing, written independently of the daemon ----

inline bool writeBytes(int fd, const void* data, size_t size) {
  auto p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

inline std::string lengthHeader(uint32_t n) {
  const char h[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                     static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
  return std::string(h, 4);
}

inline bool sendRawFrame(int fd, const std::string& body) {
  const std::string frame = lengthHeader(static_cast<uint32_t>(body.size())) + body;
  return writeBytes(fd, frame.data(), frame.size());
}

inline bool readBytes(int fd, char* out, size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One frame's body as text; nullopt at end of stream.
inline std::optional<std::string> readRawFrame(int fd) {
  unsigned char h[4];
  if (!readBytes(fd, reinterpret_cast<char*>(h), 4)) return std::nullopt;
  const uint32_t n = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
  std::string body(n, '\0');
  if (!readBytes(fd, body.data(), n)) return std::nullopt;
  return body;
}

// A reply to `request` carrying `fields` (an object) and the request's id.
inline Json replyTo(const Json& request, Json fields = Json::object()) {
  fields["id"] = request.at("id");
  return fields;
}

// ---- The scripted kernel ----

// Reads every frame on its end of the connection on its own thread, records
// it, and sends whatever the handler returns for it (nothing when empty).
class KernelPeer {
 public:
  using Handler = std::function<std::vector<Json>(const Json& request)>;

  KernelPeer(int fd, Handler handler) : fd_(fd), handler_(std::move(handler)) {
    thread_ = std::thread([this] { run(); });
  }
  ~KernelPeer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  KernelPeer(const KernelPeer&) = delete;
  KernelPeer& operator=(const KernelPeer&) = delete;

  void send(const Json& body) {
    std::lock_guard<std::mutex> g(writeMu_);
    sendRawFrame(fd_, body.dump());
  }
  // Ends the conversation as a kernel that exits would.
  void hangUp() { ::shutdown(fd_, SHUT_RDWR); }

  std::vector<Json> received() const {
    std::lock_guard<std::mutex> g(mu_);
    return frames_;
  }
  bool waitForFrames(size_t n, double seconds) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::duration<double>(seconds),
                        [&] { return frames_.size() >= n; });
  }
  bool waitForEndOfStream(double seconds) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return ended_; });
  }

 private:
  void run() {
    for (;;) {
      std::optional<std::string> body = readRawFrame(fd_);
      if (!body) break;
      Json request = Json::parse(*body, nullptr, false);
      {
        std::lock_guard<std::mutex> g(mu_);
        frames_.push_back(request);
      }
      cv_.notify_all();
      if (handler_) {
        for (const Json& out : handler_(request)) send(out);
      }
    }
    std::lock_guard<std::mutex> g(mu_);
    ended_ = true;
    cv_.notify_all();
  }

  int fd_;
  Handler handler_;
  std::mutex writeMu_;
  mutable std::mutex mu_;  // frames_, ended_
  std::condition_variable cv_;
  std::vector<Json> frames_;
  bool ended_ = false;
  std::thread thread_;
};

// A delay result as the kernel pushes it: a frame without an id.
inline Json delayPush(const Json& name, const Json& value, const Json& type = "delay") {
  return Json{{"method", "message"},
              {"data", {{"type", type}, {"data", {{"name", name}, {"value", value}}}}}};
}

// Answers every request with {"code":0} and echoes its "data" back.
inline std::vector<Json> echo(const Json& request) {
  return {replyTo(request, {{"code", 0}, {"data", request["data"]}})};
}

// Gives `m` a new socketpair connection, as an accept would, and starts its
// reader if asked; returns the kernel's end.
inline int attachConnection(KernelProcessManager& m, bool startReader = true) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
  m.setControlFdForTesting(sv[0]);
  if (startReader) m.startReaderLoop();
  return sv[1];
}

// Closes the manager's connection and waits until its background work has let
// go of it, so that no line of this test reaches the next test's capture.
inline void closeAndRelease(std::shared_ptr<KernelProcessManager>& manager) {
  manager->closeControlSocket();
  std::weak_ptr<KernelProcessManager> weak = manager;
  manager.reset();
  const auto t0 = Clock::now();
  while (!weak.expired() && secondsSince(t0) < 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// A manager connected through a socketpair; the test holds the other end.
struct Wired {
  std::shared_ptr<KernelProcessManager> manager;
  int peerFd = -1;

  explicit Wired(bool startReader = true) {
    sandboxRoot();  // first: the manager's paths lie under it
    manager = std::make_shared<KernelProcessManager>();
    peerFd = attachConnection(*manager, startReader);
  }
  ~Wired() {
    closeAndRelease(manager);
    if (peerFd >= 0) ::close(peerFd);
  }
  // Hands the test's end to a KernelPeer (which then owns it).
  std::unique_ptr<KernelPeer> peer(KernelPeer::Handler handler) {
    const int fd = peerFd;
    peerFd = -1;
    return std::make_unique<KernelPeer>(fd, std::move(handler));
  }
};

// ---- The Kernel log ----

// The messages of the Kernel log lines captured so far, in order. Every Kernel
// line must have the exact "[Kernel] yyyy-MM-dd HH:mm:ss: " form.
inline std::vector<std::string> kernelMessages(const platform::LogCapture& capture) {
  static const std::regex kPrefix(R"(^\[Kernel\] \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )");
  std::vector<std::string> out;
  for (const std::string& line : capture.lines()) {
    if (line.rfind("[Kernel] ", 0) != 0) continue;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, kPrefix)) << "malformed Kernel line: " << line;
    out.push_back(line.substr(m.length(0)));
  }
  return out;
}

inline size_t countMessage(const platform::LogCapture& capture, const std::string& message) {
  size_t n = 0;
  for (const std::string& m : kernelMessages(capture)) n += (m == message);
  return n;
}

// Waits until `message` has been logged (the reader logs from its own thread).
inline bool waitForMessage(const platform::LogCapture& capture, const std::string& message,
                           double seconds) {
  const auto t0 = Clock::now();
  while (secondsSince(t0) < seconds) {
    if (countMessage(capture, message) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return countMessage(capture, message) > 0;
}

// Connects to a listening Unix socket as the kernel does.
inline int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace zelvo::controltest
