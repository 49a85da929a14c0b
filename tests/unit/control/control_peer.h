// A scripted kernel wired to a manager through a socket pair.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <thread>

#include "control/frame.h"
#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"
#include "unit/unit_support.h"

namespace zelvo::controltest {

using namespace std::chrono_literals;
using unit::Clock;
using unit::secondsSince;

// One temporary root for the manager's files, set before any thread starts.
inline void useSandboxRoot() {
  static unit::TempDir root;
  [[maybe_unused]] static const bool set = (platform::setRoot(root.path), true);
}

// Frames of any body, in one write so that they arrive back to back.
inline bool sendFrames(int fd, const std::vector<Json>& bodies) {
  std::string bytes;
  for (const Json& b : bodies) {
    const std::string text = control::compactJson(b);
    for (int i = 0; i < 4; ++i) bytes += char(text.size() >> (8 * i));
    bytes += text;
  }
  return control::writeAll(fd, bytes);
}

inline Json replyTo(const Json& request, Json fields) {
  fields["id"] = request.at("id");
  return fields;
}

inline Json delayPush(const Json& name, const Json& value) {
  return {{"method", "message"},
          {"data", {{"type", "delay"}, {"data", {{"name", name}, {"value", value}}}}}};
}

inline std::vector<Json> echo(const Json& req) {
  return {replyTo(req, {{"code", 0}, {"data", req["data"]}})};
}

// Records every frame on its end and sends back what the handler returns.
class KernelPeer {
 public:
  using Handler = std::function<std::vector<Json>(const Json& request)>;
  KernelPeer(int fd, Handler handler) : fd_(fd) {
    thread_ = std::thread([this, handler] {
      control::FrameReader reader(fd_);
      while (std::optional<Json> request = reader.next()) {
        std::unique_lock<std::mutex> g(mu_);
        frames_.push_back(*request);
        g.unlock();
        if (handler) send(handler(*request));
      }
    });
  }
  ~KernelPeer() {
    hangUp();
    thread_.join();
    ::close(fd_);
  }
  void send(const std::vector<Json>& bodies) {
    std::lock_guard<std::mutex> g(mu_);
    sendFrames(fd_, bodies);
  }
  void hangUp() { ::shutdown(fd_, SHUT_RDWR); }
  std::vector<Json> received() {
    std::lock_guard<std::mutex> g(mu_);
    return frames_;
  }
  bool waitForFrames(size_t n) {
    return unit::eventually([&] { return received().size() >= n; });
  }

 private:
  int fd_;
  std::mutex mu_;  // frames_ and writes
  std::vector<Json> frames_;
  std::thread thread_;
};

// A new connection for `m`, as an accept would give; returns the kernel's end.
inline int attachConnection(KernelProcessManager& m) {
  int sv[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  m.setControlFdForTesting(sv[0]);
  m.startReaderLoop();
  return sv[1];
}

// Closes the manager's connection and waits until its reader has let go.
inline void closeAndRelease(std::shared_ptr<KernelProcessManager>& manager) {
  manager->closeControlSocket();
  std::weak_ptr<KernelProcessManager> weak = manager;
  manager.reset();
  EXPECT_TRUE(unit::eventually([&] { return weak.expired(); }));
}

// A manager connected to a scripted kernel.
struct Wired {
  explicit Wired(KernelPeer::Handler handler)
      : manager((useSandboxRoot(), std::make_shared<KernelProcessManager>())),
        peer(std::make_unique<KernelPeer>(attachConnection(*manager), std::move(handler))) {}
  ~Wired() { closeAndRelease(manager); }
  std::shared_ptr<KernelProcessManager> manager;
  std::unique_ptr<KernelPeer> peer;
};

}  // namespace zelvo::controltest
