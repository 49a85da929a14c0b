// Throughput of the reference kernel's mixed listener: a 100 MB transfer
// through an HTTP CONNECT tunnel on loopback against the same transfer made
// directly, in both directions, in the same run. Prints MB/s and the ratio
// proxied/direct (target: at least 0.5). Plays the daemon's side of the
// control socket itself; uses only POSIX and JSON, nothing of the daemon.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr size_t kTransferBytes = 100u * 1000u * 1000u;
constexpr size_t kChunk = 256 * 1024;
constexpr int kRounds = 9;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "proxy_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool readAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

int listenLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0)
    die("listen");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

int connectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("connect");
  return fd;
}

uint16_t freePort() {
  uint16_t port;
  ::close(listenLoopback(&port));
  return port;
}

// The far end. Upload: reads everything, then answers with the byte count.
// Download: sends kTransferBytes and closes.
class Server {
 public:
  explicit Server(bool upload) : upload_(upload) {
    fd_ = listenLoopback(&port_);
    thread_ = std::thread([this] { run(); });
  }
  ~Server() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  void run() {
    std::vector<char> buf(kChunk, 'd');
    for (;;) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      if (upload_) {
        uint64_t total = 0;
        for (ssize_t n; (n = ::recv(c, buf.data(), buf.size(), 0)) > 0;)
          total += static_cast<uint64_t>(n);
        writeAll(c, reinterpret_cast<char*>(&total), sizeof total);
      } else {
        for (size_t left = kTransferBytes; left > 0;) {
          size_t k = std::min(left, buf.size());
          if (!writeAll(c, buf.data(), k)) break;
          left -= k;
        }
      }
      ::close(c);
    }
  }

  bool upload_;
  int fd_;
  uint16_t port_;
  std::thread thread_;
};

// One transfer; returns MB/s (decimal megabytes) or a negative value on failure.
double transfer(bool upload, uint16_t serverPort, uint16_t proxyPort) {
  auto t0 = Clock::now();
  int fd;
  if (proxyPort) {
    fd = connectLoopback(proxyPort);
    std::string req = "CONNECT 127.0.0.1:" + std::to_string(serverPort) + " HTTP/1.1\r\n\r\n";
    writeAll(fd, req.data(), req.size());
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
    if (head.rfind("HTTP/1.1 200", 0) != 0) {
      ::close(fd);
      return -1;
    }
  } else {
    fd = connectLoopback(serverPort);
  }
  std::vector<char> buf(kChunk, 'u');
  bool ok = true;
  if (upload) {
    for (size_t left = kTransferBytes; left > 0 && ok;) {
      size_t k = std::min(left, buf.size());
      ok = writeAll(fd, buf.data(), k);
      left -= k;
    }
    ::shutdown(fd, SHUT_WR);
    uint64_t echoed = 0;
    ok = ok && readAll(fd, reinterpret_cast<char*>(&echoed), sizeof echoed) &&
         echoed == kTransferBytes;
  } else {
    size_t total = 0;
    for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;)
      total += static_cast<size_t>(n);
    ok = total == kTransferBytes;
  }
  ::close(fd);
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  return ok ? kTransferBytes / 1e6 / secs : -1;
}

// The daemon's side of the control socket, just enough to start a listener.
class Kernel {
 public:
  Kernel() {
    dir_ = std::filesystem::temp_directory_path() / ("proxy-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::string sock = (dir_ / "control.sock").string();
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, sock.c_str(), sizeof a.sun_path - 1);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 1) != 0)
      die("control socket");

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "ZELVAN_", 7) != 0) env.emplace_back(*e);
    env.emplace_back("ZELVAN_REDACT_LOG=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = ZELVAN_CORE_BIN, logPath = (dir_ / "kernel.log").string();
    char* argv[] = {bin.data(), sock.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv, envp.data()) != 0) die("spawn " + bin);
    posix_spawn_file_actions_destroy(&fa);
    conn_ = ::accept(listen_, nullptr, nullptr);
    if (conn_ < 0) die("accept");

    port_ = freePort();
    call("initCore", json{{"home-dir", dir_.string()}, {"version", 30}}.dump());
    call("setupConfig", json{{"selected-map", json::object()},
                             {"config", "mixed-port: " + std::to_string(port_) + "\n"}}
                            .dump());
    json r = call("startListener", "");
    if (r.value("code", -1) != 0) {
      std::fprintf(stderr, "proxy_bench: startListener failed: %s\n", r.dump().c_str());
      std::exit(1);
    }
  }

  ~Kernel() {
    std::string body = R"({"id":"0","method":"shutdown","data":""})";
    sendFrame(body);
    ::waitpid(pid_, nullptr, 0);
    ::close(conn_);
    ::close(listen_);
    std::filesystem::remove_all(dir_);
  }

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }

  json call(const std::string& method, const json& data) {
    std::string id = std::to_string(++id_);
    sendFrame(json{{"id", id}, {"method", method}, {"data", data}}.dump());
    for (;;) {
      unsigned char h[4];
      if (!readAll(conn_, reinterpret_cast<char*>(h), 4)) die("control read");
      uint32_t n = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
      std::string body(n, '\0');
      if (!readAll(conn_, body.data(), n)) die("control read");
      json j = json::parse(body);
      if (j.value("id", "") == id) return j;
    }
  }

 private:
  void sendFrame(const std::string& body) {
    uint32_t n = static_cast<uint32_t>(body.size());
    char h[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                 static_cast<char>(n >> 24)};
    writeAll(conn_, h, 4);
    writeAll(conn_, body.data(), body.size());
  }

  std::filesystem::path dir_;
  int listen_ = -1, conn_ = -1;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  long id_ = 0;
};

// CPU seconds of this process (both ends of every transfer live here).
double selfCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds the kernel process has used so far.
double processCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (char c : stat.substr(close + 2)) {
    if (c == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  // Fields after the command: state is the first, utime the 12th, stime the 13th.
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  Kernel kernel;
  std::printf("proxy_bench: %zu MB per transfer, %d rounds each, median MB/s\n",
              kTransferBytes / 1000000, kRounds);
  bool allMet = true;
  double directCpu = 0, proxiedCpu = 0;
  double kernelCpuBefore = processCpu(kernel.pid());
  std::vector<double> ratios;  // upload, download
  for (bool upload : {true, false}) {
    Server server(upload);
    std::vector<double> direct, proxied, perRound;
    for (int i = 0; i < kRounds; ++i) {  // interleaved, so load changes hit both alike
      double c0 = selfCpu();
      direct.push_back(transfer(upload, server.port(), 0));
      double c1 = selfCpu();
      proxied.push_back(transfer(upload, server.port(), kernel.port()));
      perRound.push_back(proxied.back() / direct.back());
      directCpu += c1 - c0;
      proxiedCpu += selfCpu() - c1;
    }
    if (*std::min_element(direct.begin(), direct.end()) < 0 ||
        *std::min_element(proxied.begin(), proxied.end()) < 0) {
      std::fprintf(stderr, "proxy_bench: a transfer failed\n");
      return 1;
    }
    // The ratio is the median of the rounds' ratios, each round's pair measured under the
    // same load.
    double d = median(direct), p = median(proxied);
    double ratio = median(perRound);
    allMet = allMet && ratio >= 0.5;
    ratios.push_back(ratio);
    std::printf("%-8s direct %8.1f MB/s   via CONNECT %8.1f MB/s   ratio %.2f (target >= 0.50)\n",
                upload ? "upload" : "download", d, p, ratio);
  }
  // Throughput depends on how busy the machine is; CPU per byte does not.
  double kernelCpu = processCpu(kernel.pid()) - kernelCpuBefore;
  double perGb = 1e9 / (kTransferBytes * 2.0 * kRounds) * 1000.0;
  std::printf(
      "CPU per GB moved: direct %.0f ms (both ends), via CONNECT %.0f ms (both ends) + %.0f ms "
      "kernel\n",
      directCpu * perGb, proxiedCpu * perGb, kernelCpu * perGb);
  json total = json::parse(kernel.call("getTotalTraffic", false)["data"].get<std::string>());
  // Each upload round is answered with an 8-byte count, which the kernel relays too.
  std::printf("kernel counted up %lld bytes, down %lld bytes (expected %zu and %zu)\n",
              total["up"].get<long long>(), total["down"].get<long long>(),
              kTransferBytes * kRounds, kTransferBytes * kRounds + 8 * kRounds);
  std::printf("%s\n", allMet ? "target met" : "target NOT met");
  bench::result("proxy_upload_ratio", ratios[0], "x", bench::Floor::AtLeast, 0.5);
  bench::result("proxy_download_ratio", ratios[1], "x", bench::Floor::AtLeast, 0.5);
  bench::result("proxy_kernel_cpu_per_GB", kernelCpu * perGb, "ms");
  return 0;
}
