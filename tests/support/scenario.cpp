#include "support/scenario.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>

extern char** environ;

namespace zelvo::testing {
namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  if (mode != 0) fs::permissions(path, fs::perms(mode));
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> filesContaining(const std::string& dir, const std::string& needle) {
  std::vector<std::string> hits;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code e;
    if (it->is_regular_file(e) && !it->is_symlink(e) &&
        readFile(it->path()).find(needle) != std::string::npos) {
      hits.push_back(it->path());
    }
  }
  return hits;
}

std::string yamlConfig(uint16_t port, const std::string& marker) {
  return "mixed-port: " + std::to_string(port) + "\nmode: rule\n" +
         (marker.empty() ? "" : "# " + marker + "\n") +
         "proxies:\n  - name: node-a\n    type: ss\n  - name: node-b\n    type: vmess\n"
         "proxy-groups:\n  - name: Proxy\n    type: select\n    proxies: [node-a, node-b]\n";
}

std::string uniqueMarker() {
  std::random_device rd;
  return "cfg-secret-" + std::to_string(rd()) + std::to_string(rd()) + "-机密🇭🇰";
}

// ---- Processes ----

namespace {

pid_t spawn(const Args& argv, const Env& env, int outFd, int errFd, int fd3 = -1) {
  std::vector<std::string> vars;
  std::string tsan = "suppressions=" + std::string(ZELVO_SOURCE_DIR) + "/tests/support/tsan.supp";
  for (char** e = environ; *e; ++e) {
    std::string var = *e;
    if (var.rfind("TSAN_OPTIONS=", 0) == 0) {
      tsan = var.substr(13) + " " + tsan;
    } else {
      vars.push_back(var);
    }
  }
  // Under ThreadSanitizer children read the suppressions of known false
  // positives in the C library; other builds ignore the variable.
  vars.push_back("TSAN_OPTIONS=" + tsan);
  for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (auto& v : vars) envp.push_back(v.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int waitFor(pid_t pid, double timeoutSeconds) {
  int status = -1;
  const bool done = eventually(
      [&] {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
      },
      timeoutSeconds, 0.002);
  return done ? status : -1;
}

}  // namespace

Child::Child(const Args& argv, const Env& env) : pid_(spawn(argv, env, -1, -1)) {
  if (pid_ < 0) throw std::runtime_error("cannot spawn " + argv.front());
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitFor(pid_, 10);
  }
}

int Child::wait(double timeoutSeconds) {
  const int status = waitFor(pid_, timeoutSeconds);
  if (status != -1) pid_ = -1;
  return status;
}

std::unique_ptr<Child> childNumbered(pid_t pid) {
  for (int tries = 0; tries < 20; ++tries) {
    std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;
    auto child = std::make_unique<Child>(Args{"/bin/sleep", "60"});
    if (child->pid() == pid) return child;
  }
  return nullptr;
}

ProgramOutput runProgram(const Args& argv, double timeoutSeconds) {
  ProgramOutput r;
  char outPath[] = "/tmp/zelvo-out-XXXXXX", errPath[] = "/tmp/zelvo-err-XXXXXX";
  const int outFd = ::mkstemp(outPath), errFd = ::mkstemp(errPath);
  const pid_t pid = spawn(argv, {}, outFd, errFd);
  ::close(outFd);
  ::close(errFd);
  if (pid > 0) {
    int status = waitFor(pid, timeoutSeconds);
    if (status == -1) {
      ::kill(pid, SIGKILL);
      waitFor(pid, 10);
    } else if (WIFEXITED(status)) {
      r.exitCode = WEXITSTATUS(status);
    }
  }
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  ::unlink(outPath);
  ::unlink(errPath);
  return r;
}

// ---- Network ----

struct EchoServer::State {
  int listenFd = -1;
  std::mutex mu;
  std::vector<int> fds;
  std::vector<std::thread> workers;
};

EchoServer::EchoServer() : state_(std::make_shared<State>()) {
  state_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(state_->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(state_->listenFd, 64) != 0 ||
      ::getsockname(state_->listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("echo server: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([s = state_] {
    for (;;) {
      const int fd = ::accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && errno == EINTR) continue;
      if (fd < 0) return;
      std::lock_guard<std::mutex> g(s->mu);
      s->fds.push_back(fd);
      s->workers.emplace_back([fd] {
        char buf[16384];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
          if (::send(fd, buf, size_t(n), MSG_NOSIGNAL) != n) return;
        }
      });
    }
  });
}

EchoServer::~EchoServer() {
  ::shutdown(state_->listenFd, SHUT_RDWR);
  acceptor_.join();
  for (const int fd : state_->fds) ::shutdown(fd, SHUT_RDWR);
  for (auto& t : state_->workers) t.join();
  for (const int fd : state_->fds) ::close(fd);
  ::close(state_->listenFd);
}

namespace {
bool sendAll(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}
bool recvExactly(int fd, size_t n, std::string* out) {
  out->assign(n, '\0');
  return ::recv(fd, out->data(), n, MSG_WAITALL) == ssize_t(n);
}
}  // namespace

int socks5Tunnel(uint16_t proxyPort, uint16_t destPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(proxyPort);
  const std::string request{5, 1, 0, 1, 127, 0, 0, 1, char(destPort >> 8), char(destPort & 0xFF)};
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      sendAll(fd, std::string("\x05\x01\x00", 3)) && recvExactly(fd, 2, &reply) &&
      reply == std::string("\x05\x00", 2) && sendAll(fd, request) && recvExactly(fd, 10, &reply) &&
      reply[1] == 0) {
    return fd;
  }
  ::close(fd);
  return -1;
}

bool echoes(int fd, const std::string& payload) {
  std::string back;
  return fd >= 0 && sendAll(fd, payload) && recvExactly(fd, payload.size(), &back) &&
         back == payload;
}

// ---- The wire ----

WireClient::WireClient(const std::string& socketPath)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un addr{AF_UNIX, {}};
  socketPath.copy(addr.sun_path, sizeof addr.sun_path - 1);
  timeval tv{5, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ADD_FAILURE() << "cannot connect to " << socketPath;
  }
}

WireClient::~WireClient() {
  ::close(fd_);
}

std::string WireClient::frame(const std::string& body, uint32_t length) {
  const char header[4] = {char(length), char(length >> 8), char(length >> 16), char(length >> 24)};
  return std::string(header, 4) + body;
}

std::string WireClient::request(const Json& seq, const Json& sel, const Json& args) {
  const auto body = Json::to_msgpack(Json{{"seq", seq}, {"sel", sel}, {"args", args}});
  return frame(std::string(body.begin(), body.end()));
}

bool WireClient::send(const std::string& bytes) {
  return sendAll(fd_, bytes);
}

Json WireClient::receive() {
  std::string header, body;
  if (!recvExactly(fd_, 4, &header)) return nullptr;
  const uint32_t n = uint8_t(header[0]) | uint8_t(header[1]) << 8 | uint8_t(header[2]) << 16 |
                     uint32_t(uint8_t(header[3])) << 24;
  if (!recvExactly(fd_, n, &body)) return nullptr;
  return Json::from_msgpack(body);
}

bool WireClient::closedByPeer() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n < 0) return false;  // the 5 s receive time-out
  }
}

// ---- The daemon ----

class Scenario::Daemon {
 public:
  Daemon(const std::string& root, const Args& extra, const Env& env, const std::string& logPath,
         const Launch& launch) {
    Args argv{launch.program.empty() ? ZELVO_HELPER_BIN : launch.program, "--root", root};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (launch.handedSocket >= 0) {
      // The shell's pid is the daemon's: exec keeps it.
      const std::string pid = launch.foreignPid ? "1" : "$$";
      argv.insert(argv.begin(), {"/bin/sh", "-c",
                                 "export LISTEN_PID=" + pid + " LISTEN_FDS=1; exec \"$@\"", "sh"});
    }
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = spawn(argv, env, fd, fd, launch.handedSocket);
    ::close(fd);
    if (pid_ < 0) throw std::runtime_error("cannot spawn the daemon");
  }
  ~Daemon() { kill9(); }
  void kill9() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitFor(pid_, 10);
    pid_ = -1;
  }
  int waitExit(double timeoutSeconds) {
    const int status = pid_ > 0 ? waitFor(pid_, timeoutSeconds) : -1;
    if (status != -1) pid_ = -1;
    return status;
  }
  bool running() {
    int status;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

Scenario::Scenario() {
  char tmpl[] = "/tmp/zelvo-sbx-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  const auto r = runProgram(
      {std::string(ZELVO_SOURCE_DIR) + "/scripts/sandbox", root_, "--kernel", ZELVAN_CORE_BIN});
  if (r.exitCode != 0) throw std::runtime_error("scripts/sandbox failed: " + r.err);
}

Scenario::~Scenario() {
  client_.reset();
  daemon_.reset();
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void Scenario::TearDown() {
  client_.reset();
  if (daemon_) daemon_->kill9();
  // A kernel left behind would be found by name by the next test's daemon
  // when the tests share one process.
  for (const pid_t kernel : kernelPids()) ::kill(kernel, SIGKILL);
  EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 5));
  const std::string all = readFile(root_ + "/daemon.log");
  for (const char* finding : {"ERROR: AddressSanitizer", "runtime error:",
                              "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"}) {
    if (all.find(finding) != std::string::npos) ADD_FAILURE() << "sanitizer finding in the daemon";
  }
  if (HasFailure()) {
    std::cout << "---- daemon log ----\n" << all << "---- kernel.log ----\n" << kernelLog();
  }
}

std::string Scenario::dataDir() const {
  return at("/Library/Application Support/com.zelvo.svc");
}
std::string Scenario::kernelPath() const {
  return at("/Library/PrivilegedHelperTools/com.zelvo.svc.core");
}
std::string Scenario::socketPath() const {
  return HelperClient::socketPathForRoot(root_);
}

void Scenario::startDaemon(const Args& extra, const Env& env) {
  if (daemon_ && daemon_->running()) throw std::runtime_error("the daemon already runs");
  const size_t before = log().size();
  daemon_ = std::make_unique<Daemon>(root_, extra, env, root_ + "/daemon.log", launch_);
  // The kernel-presence line comes after launch reconciliation: a kernel
  // started before it would be taken for a survivor of an earlier run.
  const bool ready = eventually(
      [&] {
        const auto lines = log();
        bool listening = false, reconciled = false;
        for (size_t i = before; i < lines.size(); ++i) {
          listening |= lines[i].find("[Helper] Started and listening on") != std::string::npos;
          reconciled |=
              lines[i].find("[Helper] 内核 version: ") != std::string::npos ||
              lines[i].find("[Helper] Warning: 内核 binary not found") != std::string::npos;
        }
        return (listening && reconciled) || !daemon_->running();
      },
      20);
  if (!ready || !daemon_->running()) {
    throw std::runtime_error("the daemon did not start:\n" + readFile(root_ + "/daemon.log"));
  }
}

pid_t Scenario::daemonPid() const {
  return daemon_ ? daemon_->pid() : -1;
}

void Scenario::killDaemon() {
  if (daemon_) daemon_->kill9();
}

int Scenario::waitDaemonExit(double timeoutSeconds) {
  return daemon_ ? daemon_->waitExit(timeoutSeconds) : -1;
}

std::vector<std::string> Scenario::log() const {
  return splitLines(readFile(root_ + "/daemon.log"));
}

size_t Scenario::countLog(std::string_view needle) const {
  size_t n = 0;
  for (const auto& line : log()) n += line.find(needle) != std::string::npos;
  return n;
}

std::optional<Clock::time_point> Scenario::waitLog(std::string_view needle, double timeoutSeconds,
                                                   size_t nth) const {
  if (!eventually([&] { return countLog(needle) >= nth; }, timeoutSeconds)) return std::nullopt;
  return Clock::now();
}

::testing::AssertionResult Scenario::logInOrder(const std::vector<std::string>& needles,
                                                size_t from) const {
  const auto lines = log();
  size_t i = from;
  for (const auto& needle : needles) {
    while (i < lines.size() && lines[i].find(needle) == std::string::npos) ++i;
    if (i == lines.size())
      return ::testing::AssertionFailure() << "no \"" << needle << "\" in order";
    ++i;
  }
  return ::testing::AssertionSuccess();
}

HelperClient& Scenario::client() {
  if (!client_) {
    client_ = std::make_unique<HelperClient>(socketPath());
    client_->setTimeout(std::chrono::seconds(20));
  }
  return *client_;
}

uint16_t Scenario::startKernel(const std::string& marker) {
  const uint16_t port = freePort();
  const auto r = client().startProxy(yamlConfig(port, marker));
  if (!r.ok() || !r->success) {
    ADD_FAILURE() << "start failed: "
                  << (r.ok() ? r->message.value_or("") : r.error->localizedDescription());
    return 0;
  }
  return port;
}

// ---- The kernel ----

std::vector<pid_t> Scenario::kernelPids() const {
  std::vector<pid_t> found;
  const std::string installed = dataDir() + "/com.zelvo.svc.core";
  for (const pid_t pid : allPids()) {
    const std::string program = programOf(pid);
    if ((program == kernelPath() || program == installed) && processAlive(pid)) {
      found.push_back(pid);
    }
  }
  return found;
}

pid_t Scenario::kernelPid() const {
  const auto pids = kernelPids();
  return pids.size() == 1 ? pids.front() : 0;
}

std::string Scenario::kernelLog() const {
  return readFile(dataDir() + "/kernel.log");
}

size_t Scenario::kernelReceived(const std::string& method) const {
  size_t n = 0;
  for (const auto& line : splitLines(kernelLog())) {
    n += line.find("] recv " + method + " id=") != std::string::npos;
  }
  return n;
}

Json Scenario::query(const std::string& method, const std::string& data) {
  const auto r = client().kernelQuery(method, data);
  if (!r.ok() || !r->has_value()) return nullptr;
  return Json::parse(**r, nullptr, false);
}

// ---- The stand-in tools ----

std::vector<Args> Scenario::calls() const {
  std::vector<Args> out;
  for (const auto& line : splitLines(readFile(at("/var/standins/calls.jsonl")))) {
    out.push_back(Json::parse(line).get<Args>());
  }
  return out;
}

std::vector<Args> Scenario::calls(const std::string& tool) const {
  std::vector<Args> out;
  for (const auto& call : calls()) {
    if (!call.empty() && call.front() == tool) out.emplace_back(call.begin() + 1, call.end());
  }
  return out;
}

void Scenario::clearCalls() const {
  writeFile(at("/var/standins/calls.jsonl"), "");  // emptied, not removed: every user may write it
}

void Scenario::setServices(const std::string& lines) const {
  writeFile(at("/var/standins/network-services"), lines);
}

Json Scenario::proxyState() const {
  const std::string text = readFile(at("/var/standins/networksetup-state.json"));
  return text.empty() ? Json::object() : Json::parse(text);
}

void Scenario::presetProxy(const std::string& service, const std::string& kind, bool enabled,
                           const std::string& server, const std::string& port) const {
  Json s = proxyState();
  s[service][kind] = {{"enabled", enabled}, {"server", server}, {"port", port}};
  writeFile(at("/var/standins/networksetup-state.json"), s.dump());
}

}  // namespace zelvo::testing
