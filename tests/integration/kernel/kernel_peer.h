// Test harness for the reference kernel: plays the daemon's side of the
// control socket (listens, spawns the built kernel with the socket path,
// accepts, exchanges frames), and provides loopback servers and proxy clients
// for traffic through the kernel's mixed listener. Header-only so that the
// regular and the concurrency test executables can both use it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#include "support/proc_scan.h"

namespace zelvan::test {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Polls `pred` until it holds or `timeout` passes; the final answer counts.
template <typename Pred>
bool eventually(Pred pred, milliseconds timeout = milliseconds(3000)) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return pred();
}

// ---------------------------------------------------------------- sockets

inline void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

inline bool sendAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
inline bool sendAll(int fd, const std::string& s) {
  return sendAll(fd, s.data(), s.size());
}

// Waits up to `timeout` for readability; then one recv. Returns bytes read,
// 0 at end of stream, -1 on error, -2 on time-out.
inline ssize_t recvSome(int fd, char* buf, size_t n, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (r == 0) return -2;
  if (r < 0) return -1;
  ssize_t got = ::recv(fd, buf, n, 0);
  return got < 0 ? -1 : got;
}

// Reads exactly n bytes or fails (end of stream, error, or deadline).
inline bool recvExactly(int fd, std::string& out, size_t n,
                        milliseconds timeout = milliseconds(5000)) {
  auto deadline = Clock::now() + timeout;
  out.clear();
  char buf[65536];
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    ssize_t got = recvSome(fd, buf, std::min(sizeof buf, n - out.size()), left);
    if (got <= 0) return false;
    out.append(buf, static_cast<size_t>(got));
  }
  return true;
}

// True when the peer ended the stream (or reset it) within `timeout`.
inline bool waitForEof(int fd, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  char buf[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    ssize_t got = recvSome(fd, buf, sizeof buf, left);
    if (got == 0 || got == -1) return true;
    if (got == -2) return false;
  }
}

inline int connectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) closeFd(fd);
  return fd;
}

using zelvo::testing::freePort;

// ------------------------------------------------------------ test server

// A loopback TCP server; each accepted connection runs `handler` on a thread
// of its own. The destructor shuts every connection down and joins.
class TcpServer {
 public:
  using Handler = std::function<void(int fd)>;

  explicit TcpServer(Handler handler, int family = AF_INET) : handler_(std::move(handler)) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a6{};  // bound to port 0: the system picks a free one
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr* a =
        family == AF_INET6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t len = family == AF_INET6 ? sizeof a6 : sizeof a4;
    ::bind(fd_, a, len);
    ::getsockname(fd_, a, &len);
    port_ = ntohs(family == AF_INET6 ? a6.sin6_port : a4.sin_port);
    ::listen(fd_, 512);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~TcpServer() {
    ::shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    ::close(fd_);
    std::unique_lock lock(mu_);
    for (int c : open_) ::shutdown(c, SHUT_RDWR);
    idle_.wait(lock, [this] { return open_.empty(); });
  }

  uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  void acceptLoop() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      accepted_++;
      std::lock_guard lock(mu_);
      open_.push_back(c);
      // Detached: a long test makes a thousand connections; the destructor
      // waits for open_ to drain instead of joining.
      std::thread([this, c] {
        handler_(c);
        std::lock_guard l(mu_);
        open_.erase(std::find(open_.begin(), open_.end(), c));
        ::close(c);
        idle_.notify_all();
      }).detach();
    }
  }

  Handler handler_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;  // guards open_
  std::condition_variable idle_;
  std::vector<int> open_;
  std::atomic<int> accepted_{0};
};

// Echoes everything until the peer ends the stream.
inline void echoHandler(int fd) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    if (!sendAll(fd, buf, static_cast<size_t>(n))) return;
  }
}

// Sends `n` bytes of a known pattern, then closes its side.
inline TcpServer::Handler sourceHandler(size_t n) {
  return [n](int fd) {
    std::string chunk(65536, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
    size_t left = n;
    while (left > 0) {
      size_t k = std::min(left, chunk.size());
      if (!sendAll(fd, chunk.data(), k)) return;
      left -= k;
    }
    ::shutdown(fd, SHUT_WR);
    char buf[4096];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
  };
}

// A minimal HTTP/1.1 origin: answers each request with its request line as body.
inline void httpOriginHandler(int fd) {
  std::string req;
  char buf[4096];
  while (req.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    req.append(buf, static_cast<size_t>(n));
  }
  std::string head = req.substr(0, req.find("\r\n\r\n") + 2);
  std::string body = "origin saw: " + head;
  std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body;
  sendAll(fd, resp);
}

// ----------------------------------------------------------- proxy clients

// HTTP CONNECT through the proxy; returns the tunnel socket or -1.
inline int httpConnect(uint16_t proxyPort, const std::string& authority,
                       std::string* status = nullptr) {
  int fd = connectLoopback(proxyPort);
  if (fd < 0) return -1;
  sendAll(fd, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
  std::string head;
  char c;
  auto deadline = Clock::now() + milliseconds(5000);
  while (head.find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
    ssize_t n = recvSome(fd, &c, 1, milliseconds(5000));
    if (n <= 0) break;
    head += c;
  }
  if (status) *status = head.substr(0, head.find("\r\n"));
  if (head.rfind("HTTP/1.1 200", 0) != 0) closeFd(fd);
  return fd;
}

// SOCKS5 CONNECT; `atyp` 1 (IPv4), 3 (domain) or 4 (IPv6). Returns the tunnel
// socket or -1; `replyCode` receives the server's reply field (or -1).
inline int socks5Connect(uint16_t proxyPort, int atyp, const std::string& host, uint16_t port,
                         int* replyCode = nullptr) {
  if (replyCode) *replyCode = -1;
  int fd = connectLoopback(proxyPort);
  if (fd < 0) return -1;
  std::string greet("\x05\x01\x00", 3), answer;
  if (!sendAll(fd, greet) || !recvExactly(fd, answer, 2) || answer != std::string("\x05\x00", 2)) {
    closeFd(fd);
    return -1;
  }
  std::string req("\x05\x01\x00", 3);
  req += static_cast<char>(atyp);
  if (atyp == 1) {
    in_addr a{};
    ::inet_pton(AF_INET, host.c_str(), &a);
    req.append(reinterpret_cast<char*>(&a), 4);
  } else if (atyp == 4) {
    in6_addr a{};
    ::inet_pton(AF_INET6, host.c_str(), &a);
    req.append(reinterpret_cast<char*>(&a), 16);
  } else {
    req += static_cast<char>(host.size());
    req += host;
  }
  req += static_cast<char>(port >> 8);
  req += static_cast<char>(port & 0xFF);
  std::string head;
  if (!sendAll(fd, req) || !recvExactly(fd, head, 4)) {
    closeFd(fd);
    return -1;
  }
  if (replyCode) *replyCode = static_cast<unsigned char>(head[1]);
  size_t rest = head[3] == 4 ? 16 + 2 : 4 + 2;
  std::string bound;
  if (head[1] != 0 || !recvExactly(fd, bound, rest)) closeFd(fd);
  return fd;
}

// Round trip of `payload` through an echo tunnel.
inline bool echoes(int fd, const std::string& payload) {
  std::string back;
  return sendAll(fd, payload) && recvExactly(fd, back, payload.size()) && back == payload;
}

// ------------------------------------------------------------ kernel peer

struct ExitStatus {
  bool exited = false;  // false: killed by a signal
  int code = -1;        // exit code, or the signal number
};

// The daemon's side of the control socket, with one kernel process.
class KernelPeer {
 public:
  // `env` entries are "NAME=value", added to a copy of this process's
  // environment from which every ZELVAN_* variable has been removed.
  explicit KernelPeer(std::vector<std::string> env = {}) : env_(std::move(env)) {
    char tmpl[] = "/tmp/zelvan-kernel-test-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    socketPath_ = dir_ + "/control.sock";
    logPath_ = dir_ + "/kernel.log";
  }

  ~KernelPeer() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    closeFd(conn_);
    closeFd(listen_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  const std::string& socketPath() const { return socketPath_; }
  pid_t pid() const { return pid_; }
  int connFd() const { return conn_; }

  void listen() {
    ::unlink(socketPath_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socketPath_.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0)
        << std::strerror(errno);
    ASSERT_EQ(::listen(listen_, 1), 0);
  }

  // Closes the listening socket and removes its file, as a dying daemon does.
  void stopListening() {
    closeFd(listen_);
    ::unlink(socketPath_.c_str());
  }

  void spawn(const std::vector<std::string>& args) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "ZELVAN_", 7) != 0) envStrings.emplace_back(*e);
    for (const auto& e : env_) envStrings.push_back(e);
    std::vector<char*> envp, argv;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = ZELVAN_CORE_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> argCopy = args;
    for (auto& a : argCopy) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int rc = posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ASSERT_EQ(rc, 0) << "cannot start " << bin << ": " << std::strerror(rc);
    reaped_ = false;
  }

  void spawnKernel() { spawn({socketPath_}); }

  // Listens, starts the kernel and accepts its connection.
  bool start() {
    listen();
    spawnKernel();
    return accept();
  }

  // Accepts the kernel's connection; false if it did not come in time.
  bool accept(milliseconds timeout = milliseconds(5000)) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    closeFd(conn_);
    conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    inbox_.clear();
    return conn_ >= 0;
  }

  // Closes the control connection from this side.
  void dropConnection() {
    ::shutdown(conn_, SHUT_RDWR);
    closeFd(conn_);
  }

  void sendRaw(const std::string& bytes) { ASSERT_TRUE(sendAll(conn_, bytes)); }

  // A little-endian length header.
  static std::string le32(uint32_t n) {
    return {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
            static_cast<char>((n >> 16) & 0xFF), static_cast<char>(n >> 24)};
  }
  static std::string frame(const std::string& body) {
    return le32(static_cast<uint32_t>(body.size())) + body;
  }

  // Writes one request frame; returns its id.
  std::string send(const std::string& method, const json& data) {
    std::string id = std::to_string(++lastId_);
    sendRaw(frame(json{{"id", id}, {"method", method}, {"data", data}}.dump()));
    return id;
  }

  // Reads frames until the reply with `id` arrives; pushed frames (no id) are
  // kept in pushes(). Nullopt on time-out or end of stream.
  std::optional<json> awaitReply(const std::string& id, milliseconds timeout = milliseconds(5000)) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
      if (auto it = inbox_.find(id); it != inbox_.end()) {
        json r = it->second;
        inbox_.erase(it);
        return r;
      }
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto f = readFrame(left);
      if (!f) return std::nullopt;
      if (f->contains("id") && (*f)["id"].is_string() && !(*f)["id"].get<std::string>().empty())
        inbox_[(*f)["id"].get<std::string>()] = *f;
      else
        pushes_.push_back(*f);
    }
  }

  std::optional<json> call(const std::string& method, const json& data,
                           milliseconds timeout = milliseconds(5000)) {
    return awaitReply(send(method, data), timeout);
  }

  // A call that must succeed with code 0; returns "data".
  json ok(const std::string& method, const json& data = "") {
    auto r = call(method, data);
    EXPECT_TRUE(r.has_value()) << "no reply to " << method;
    if (!r) return nullptr;
    EXPECT_EQ(r->value("code", -1), 0) << method << " -> " << r->dump();
    return r->contains("data") ? (*r)["data"] : json();
  }

  // A query whose "data" is JSON text: returns it parsed.
  json query(const std::string& method, const json& data = "") {
    json d = ok(method, data);
    EXPECT_TRUE(d.is_string()) << method << " data is not text: " << d.dump();
    if (!d.is_string()) return nullptr;
    json parsed = json::parse(d.get<std::string>(), nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << method << " data is not JSON text: " << d;
    return parsed;
  }

  // The daemon's start-up sequence with `config`; payloads as JSON text. An
  // action's reply data must be empty: the daemon takes any text for an error.
  void initCore() {
    EXPECT_EQ(ok("initCore", json{{"home-dir", dir_}, {"version", 30}}.dump()), "");
  }
  void setupConfig(const std::string& config, const json& selectedMap = json::object()) {
    EXPECT_EQ(ok("setupConfig", json{{"selected-map", selectedMap},
                                     {"test-url", "https://check.invalid/generate_204"},
                                     {"config", config}}
                                    .dump()),
              "");
  }
  void drive(const std::string& config, const json& selectedMap = json::object()) {
    initCore();
    setupConfig(config, selectedMap);
    EXPECT_EQ(ok("startListener"), "");
  }

  // changeProxy's payload.
  static std::string choice(const std::string& group, const std::string& proxy) {
    return json{{"group-name", group}, {"proxy-name", proxy}}.dump();
  }

  // Raw frame read with a deadline; nullopt on time-out, end or a bad frame.
  std::optional<json> readFrame(milliseconds timeout) {
    std::string header, body;
    if (!recvExactly(conn_, header, 4, timeout)) return std::nullopt;
    uint32_t n = static_cast<unsigned char>(header[0]) |
                 static_cast<unsigned char>(header[1]) << 8 |
                 static_cast<unsigned char>(header[2]) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(header[3])) << 24;
    if (n == 0 || n >= 0x02000000) return std::nullopt;
    if (!recvExactly(conn_, body, n, timeout)) return std::nullopt;
    json j = json::parse(body, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    return j;
  }

  std::vector<json>& pushes() { return pushes_; }

  bool alive() {
    int status;
    if (reaped_ || ::waitpid(pid_, &status, WNOHANG) != pid_) return !reaped_;
    reaped_ = true;
    lastExit_ = WIFEXITED(status) ? ExitStatus{true, WEXITSTATUS(status)}
                                  : ExitStatus{false, WTERMSIG(status)};
    return false;
  }

  std::optional<ExitStatus> waitExit(milliseconds timeout) {
    if (!eventually([&] { return !alive(); }, timeout)) return std::nullopt;
    return lastExit_;
  }

  std::string log() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  int countInLog(const std::string& needle) const {
    std::string text = log();
    int n = 0;
    for (size_t pos = 0; (pos = text.find(needle, pos)) != std::string::npos; pos += needle.size())
      ++n;
    return n;
  }

  // Sanitizer findings of the kernel end up in its log.
  void expectCleanLog() const {
    std::string text = log();
    for (const char* bad :
         {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
      EXPECT_EQ(text.find(bad), std::string::npos) << "kernel log reports " << bad << ":\n" << text;
  }

  int openFdCount() const {
    int n = 0;
    for ([[maybe_unused]] auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd"))
      ++n;
    return n;
  }

 private:
  std::vector<std::string> env_;
  std::string dir_, socketPath_, logPath_;
  int listen_ = -1;
  int conn_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = true;
  ExitStatus lastExit_;
  long lastId_ = 0;
  std::map<std::string, json> inbox_;
  std::vector<json> pushes_;
};

// A configuration in the YAML form with the given mixed port and two groups.
inline std::string yamlConfig(uint16_t port, const std::string& extra = "") {
  return "mixed-port: " + std::to_string(port) + R"(
mode: rule
proxies:
  - name: alpha
    type: ss
    server: 127.0.0.1
  - {name: beta, type: vmess, server: 127.0.0.1}
proxy-groups:
  - name: Proxy
    type: select
    proxies:
      - alpha
      - beta
      - DIRECT
  - name: Block
    type: select
    proxies: [REJECT, DIRECT]
)" + extra;
}

// A kernel that has been driven through start-up with yamlConfig(port).
struct RunningKernel {
  explicit RunningKernel(std::vector<std::string> env = {})
      : peer(std::move(env)), port(freePort()) {
    if (!peer.start()) {
      ADD_FAILURE() << "kernel did not connect:\n" << peer.log();
      return;
    }
    peer.drive(yamlConfig(port));
  }
  ~RunningKernel() { peer.expectCleanLog(); }

  KernelPeer peer;
  uint16_t port;
};

}  // namespace zelvan::test
