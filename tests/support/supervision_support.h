// Shared pieces of the tests that run the real daemon with the reference
// kernel (supervision, host and fault tests): a fixture for a sandbox root,
// configurations the kernel understands, log timing, the kernel's own log,
// the kernel processes of this root (found by their executable path, so
// kernels of other roots on the machine never count), a loopback echo server
// and SOCKS5 tunnels through the kernel's listener.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/daemon_process.h"
#include "support/proc_scan.h"
#include "support/sandbox_root.h"

namespace zelvo::testing::supervision {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

inline double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}
inline double secondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// ---- Configurations ----

using zelvo::testing::freePort;

// A text found nowhere else: put into a configuration, it must never show up
// in a file.
inline std::string uniqueMarker() {
  std::random_device rd;
  std::mt19937_64 gen(rd());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(gen()));
  return std::string("cfg-secret-") + buf + "-机密";
}

// Two outbounds in a select group "Proxy" (plus the kernel's own DIRECT,
// REJECT and GLOBAL); everything dials directly in the reference kernel.
inline std::string yamlConfig(uint16_t port, const std::string& marker = {}) {
  std::string c = "mixed-port: " + std::to_string(port) + "\nmode: rule\n";
  if (!marker.empty()) c += "# " + marker + "\n";
  c += "proxies:\n"
       "  - name: node-a\n"
       "    type: ss\n"
       "  - name: node-b\n"
       "    type: vmess\n"
       "proxy-groups:\n"
       "  - name: Proxy\n"
       "    type: select\n"
       "    proxies: [node-a, node-b]\n";
  return c;
}

// ---- Files of the root ----

inline std::string dataDir(const SandboxRoot& root) {
  return root.at("/Library/Application Support/com.zelvo.svc");
}
inline std::string kernelLogPath(const SandboxRoot& root) {
  return dataDir(root) + "/kernel.log";
}

// Requests of `method` the kernel received, by its own log ("recv <m> id=").
inline size_t kernelReceived(const SandboxRoot& root, const std::string& method) {
  size_t n = 0;
  const std::string needle = "] recv " + method + " id=";
  for (const auto& line : splitLines(readFile(kernelLogPath(root)))) {
    n += line.find(needle) != std::string::npos;
  }
  return n;
}

// Every regular file under `dir` whose bytes contain `needle`.
inline std::vector<std::string> filesContaining(const std::string& dir, const std::string& needle) {
  std::vector<std::string> hits;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(
           dir, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_regular_file(typeError) || it->is_symlink(typeError)) continue;
    if (readFile(it->path().string()).find(needle) != std::string::npos) {
      hits.push_back(it->path().string());
    }
  }
  return hits;
}

inline size_t regularFileCount(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    n += it->is_regular_file(typeError) && !it->is_symlink(typeError);
  }
  return n;
}

// ---- Processes ----

using zelvo::testing::allPids;
using zelvo::testing::parentOf;
using zelvo::testing::processAlive;
using zelvo::testing::processState;

// Live kernel processes launched from this root's kernel executable.
inline std::vector<pid_t> kernelPids(const SandboxRoot& root) {
  std::vector<pid_t> found;
  const std::string exe = root.kernelPath();
  for (const pid_t pid : allPids()) {
    const std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline.compare(0, exe.size() + 1, exe + '\0') == 0 && processAlive(pid)) {
      found.push_back(pid);
    }
  }
  return found;
}

inline pid_t onlyKernelPid(const SandboxRoot& root) {
  const auto pids = kernelPids(root);
  return pids.size() == 1 ? pids.front() : 0;
}

// Zombie children of `parent`.
inline std::vector<pid_t> zombieChildren(pid_t parent) {
  std::vector<pid_t> zombies;
  for (const pid_t pid : allPids()) {
    if (processState(pid) == 'Z' && parentOf(pid) == parent) zombies.push_back(pid);
  }
  return zombies;
}

// ---- Waiting ----

template <class Pred>
bool eventually(Pred pred, double timeoutSeconds, double stepSeconds = 0.02) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(stepSeconds));
  }
}

// When the daemon's log (current run) first held `n` lines with `needle`, as
// seen by polling every 10 ms; nothing when that did not happen in time.
inline std::optional<Clock::time_point> whenLogged(const DaemonProcess& daemon,
                                                   std::string_view needle, size_t n,
                                                   double timeoutSeconds) {
  std::optional<Clock::time_point> seen;
  eventually(
      [&] {
        if (daemon.countLog(needle) < n) return false;
        seen = Clock::now();
        return true;
      },
      timeoutSeconds, 0.01);
  return seen;
}

// ---- Network ----

// Echoes every byte back, on any number of connections, until destroyed.
class EchoServer {
 public:
  EchoServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("echo server: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~EchoServer() {
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> g(mu_);
      for (const int fd : connections_) ::shutdown(fd, SHUT_RDWR);
      workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
    for (const int fd : connections_) ::close(fd);
    ::close(listenFd_);
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  uint16_t port() const { return port_; }

 private:
  void acceptLoop() {
    for (;;) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) continue;
        return;
      }
      std::lock_guard<std::mutex> g(mu_);
      connections_.push_back(fd);
      workers_.emplace_back([fd] {
        char buf[16384];
        for (;;) {
          const ssize_t n = ::read(fd, buf, sizeof buf);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) return;
          for (ssize_t off = 0; off < n;) {
            const ssize_t w = ::write(fd, buf + off, static_cast<size_t>(n - off));
            if (w <= 0) return;
            off += w;
          }
        }
      });
    }
  }

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
};

inline bool writeAll(int fd, const std::string& bytes) {
  for (size_t off = 0; off < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

inline bool readExactly(int fd, size_t n, std::string* out) {
  out->assign(n, '\0');
  for (size_t off = 0; off < n;) {
    const ssize_t r = ::read(fd, out->data() + off, n - off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    off += static_cast<size_t>(r);
  }
  return true;
}

// A SOCKS5 CONNECT through the kernel's listener at 127.0.0.1:proxyPort to
// 127.0.0.1:destPort. Returns the tunnel's descriptor, or -1.
inline int socks5Connect(uint16_t proxyPort, uint16_t destPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(proxyPort);
  std::string reply;
  const std::string request{'\x05',
                            '\x01',
                            '\x00',
                            '\x01',
                            '\x7f',
                            '\x00',
                            '\x00',
                            '\x01',
                            static_cast<char>(destPort >> 8),
                            static_cast<char>(destPort & 0xFF)};
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  writeAll(fd, std::string("\x05\x01\x00", 3)) && readExactly(fd, 2, &reply) &&
                  reply == std::string("\x05\x00", 2) && writeAll(fd, request) &&
                  readExactly(fd, 4, &reply) && reply[1] == 0 && reply[3] == 0x01 &&
                  readExactly(fd, 6, &reply);
  if (!ok) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Keeps bytes flowing through a tunnel to an echo server: every 20 ms one
// numbered chunk out, the same chunk back. Any loss, change or stall of more
// than 5 s ends it as failed.
class EchoStream {
 public:
  explicit EchoStream(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~EchoStream() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  EchoStream(const EchoStream&) = delete;
  EchoStream& operator=(const EchoStream&) = delete;

  size_t roundTrips() const { return roundTrips_.load(); }
  bool failed() const { return failed_.load(); }
  std::string failure() const {
    std::lock_guard<std::mutex> g(mu_);
    return failure_;
  }
  // Waits until `more` further round trips have completed.
  bool advances(size_t more, double timeoutSeconds) const {
    const size_t target = roundTrips() + more;
    return eventually([&] { return failed() || roundTrips() >= target; }, timeoutSeconds) &&
           !failed();
  }

 private:
  void run() {
    for (size_t i = 0; !stop_; ++i) {
      std::string chunk = "chunk " + std::to_string(i) + " ";
      chunk.resize(256, static_cast<char>('a' + i % 26));
      std::string back;
      if (!writeAll(fd_, chunk) || !readExactly(fd_, chunk.size(), &back) || back != chunk) {
        std::lock_guard<std::mutex> g(mu_);
        failure_ =
            "round trip " + std::to_string(i) + " failed (errno " + std::to_string(errno) + ")";
        failed_ = true;
        return;
      }
      ++roundTrips_;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<size_t> roundTrips_{0};
  mutable std::mutex mu_;
  std::string failure_;
  std::thread thread_;
};

// ---- The fixture ----

// One sandbox root with the reference kernel preinstalled, one daemon, one
// client. Fault switches of the kernel are given to the daemon's environment,
// which the kernel inherits.
class SupervisionTest : public ::testing::Test {
 protected:
  using Env = std::vector<std::pair<std::string, std::string>>;

  SupervisionTest() : root_(SandboxRoot::Options{ZELVAN_CORE_BIN, {}}) {}

  void startDaemon(const Env& env = {}) {
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    try {
      daemon_ = std::make_unique<DaemonProcess>(root_);
    } catch (...) {
      for (const auto& [k, v] : env) ::unsetenv(k.c_str());
      throw;
    }
    for (const auto& [k, v] : env) ::unsetenv(k.c_str());
    client_ = root_.client();
  }

  void TearDown() override {
    if (HasFailure()) {
      // What the two sides saw is the first thing a failure needs.
      if (daemon_) {
        std::cout << "---- daemon log (this run) ----\n";
        for (const auto& line : daemon_->logLines()) std::cout << line << "\n";
      }
      std::cout << "---- kernel.log ----\n" << readFile(kernelLogPath(root_)) << std::endl;
    }
    client_.reset();
    daemon_.reset();  // kills the daemon; fails the test on a sanitizer report
    // The kernel outlives its daemon by design; this root's must not outlive
    // the test.
    for (const pid_t pid : kernelPids(root_)) ::kill(pid, SIGKILL);
    const std::string kernelLog = readFile(kernelLogPath(root_));
    for (const char* marker :
         {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:"}) {
      EXPECT_EQ(kernelLog.find(marker), std::string::npos)
          << "the reference kernel reported a sanitizer finding:\n"
          << kernelLog;
    }
  }

  // Starts a kernel and waits until its start-up drive has completed.
  void startKernel(const std::string& config) {
    const size_t drives = daemon_->countLog("驱动序列完成");
    auto r = client_->startProxy(config);
    ASSERT_TRUE(r.ok()) << r.error->localizedDescription();
    ASSERT_TRUE(r->success) << r->message.value_or("");
    ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", drives + 1, 20.0));
  }

  Json queryJson(const std::string& method, const std::string& data = {}) {
    auto r = client_->kernelQuery(method, data);
    if (!r.ok() || !r->has_value()) return Json();
    return Json::parse(**r, nullptr, false);
  }

  std::optional<ProxyStatus> status() {
    auto r = client_->getProxyStatus();
    if (!r.ok()) return std::nullopt;
    return *r.value;
  }

  SandboxRoot root_;
  std::unique_ptr<DaemonProcess> daemon_;
  std::unique_ptr<HelperClient> client_;
};

}  // namespace zelvo::testing::supervision
