// The reference kernel driven directly, in the daemon's place: what the daemon-level tests cannot
// see (exact counters, pushes, state over a reconnection, redaction) and every fault switch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <signal.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "control/frame.h"
#include "unit/unit_support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace wire = zelvo::control;
using testing::HasSubstr;
using zelvo::unit::eventually;
using zelvo::unit::secondsSince;

bool readable(int fd, milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(std::max(limit, milliseconds(0)).count())) == 1;
}

// A loopback TCP socket connected to `port`; with `bound`, one listening on a port the system
// picks instead. Reads give up after 5 s, so a stuck kernel fails the test instead of hanging it.
int tcpSocket(uint16_t port, uint16_t* bound = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  auto* sa = reinterpret_cast<sockaddr*>(&a);
  if (!bound) return ::connect(fd, sa, len) == 0 ? fd : (::close(fd), -1);
  ::bind(fd, sa, len);
  ::listen(fd, 64);
  ::getsockname(fd, sa, &len);
  *bound = ntohs(a.sin_port);
  return fd;
}

std::string recvExactly(int fd, size_t n) {
  std::string s(n, '\0');
  return wire::readExact(fd, s.data(), n) ? s : "";
}

// The daemon's side of the control socket and one kernel, logging to a directory of its own.
struct Peer {
  Peer() {
    dir_ = ::mkdtemp(std::string("/tmp/zelvan-kernel-XXXXXX").data());
    sockaddr_un a{AF_UNIX, {}};
    std::strncpy(a.sun_path, (dir_ + "/control.sock").c_str(), sizeof a.sun_path - 1);
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(listen_, 4);
  }
  ~Peer() {
    if (pid_ > 0 && !waitExit(milliseconds(0))) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    EXPECT_THAT(log(), Not(AnyOf(HasSubstr("Sanitizer"), HasSubstr("runtime error:"))));
    ::close(conn_), ::close(listen_);
    std::filesystem::remove_all(dir_);
  }
  // Starts the kernel on `arg` (default: the socket path), with our environment less ZELVAN_*.
  void spawn(std::vector<std::string> env, std::string arg = "") {
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "ZELVAN_", 7) != 0) envp.push_back(*e);
    for (auto& e : env) envp.push_back(e.data());  // and the switches
    envp.push_back(nullptr);
    std::string bin = ZELVAN_CORE_BIN, log = dir_ + "/kernel.log";
    if (arg.empty()) arg = dir_ + "/control.sock";
    char* argv[] = {bin.data(), arg.data(), nullptr};
    if ((pid_ = ::fork()) != 0) return;
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ::dup2(fd, 1), ::dup2(fd, 2), ::execve(argv[0], argv, envp.data()), ::_exit(127);
  }
  bool accept(milliseconds limit = milliseconds(5000)) {
    drop();
    return readable(listen_, limit) &&
           (conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;
  }
  void drop() { ::close(conn_), conn_ = -1; }
  // The reply to a new request, or {} after `limit`. Frames without an id that come first are
  // kept in `pushes`; replies to earlier requests are skipped.
  json call(const std::string& method, const json& data = "",
            milliseconds limit = milliseconds(5000)) {
    const std::string id = std::to_string(++lastId_);
    EXPECT_TRUE(wire::writeAll(conn_, wire::encodeRequestFrame(id, method, data)));
    for (auto end = Clock::now() + limit;;) {
      unsigned char head[4];
      if (!readable(conn_, std::chrono::duration_cast<milliseconds>(end - Clock::now())) ||
          !wire::readExact(conn_, reinterpret_cast<char*>(head), 4))
        return json::object();
      const std::string body = recvExactly(conn_, wire::decodeLength(head).value_or(0));
      json f = wire::parseBody(body.data(), body.data() + body.size()).value_or(json::object());
      if (f.value("id", "") == id) return f;
      if (!f.contains("id")) pushes.push_back(f);
    }
  }
  // A call that must succeed; its data, parsed when it is JSON text.
  json ok(const std::string& method, const json& data = "") {
    json r = call(method, data);
    EXPECT_EQ(r.value("code", -1), 0) << method << ": " << r.dump();
    const std::string text = r.value("data", "?");
    return json::parse(text.empty() ? "\"\"" : text, nullptr, false);
  }
  // The exit status, once the kernel has ended within `limit`.
  std::optional<int> waitExit(milliseconds limit) {
    int st = 0;
    if (!status_ && eventually([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }, limit))
      status_ = st;
    return status_;
  }
  std::string log() const {
    std::string text;
    std::getline(std::ifstream(dir_ + "/kernel.log"), text, '\0');
    return text;
  }

  std::vector<json> pushes;
  std::string dir_;
  int listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), conn_ = -1;
  pid_t pid_ = -1;
  std::optional<int> status_;
  long lastId_ = 0;
};

// One kernel through the daemon's whole use of it, log redacted as the daemon always asks.
// Actions answer "" (the daemon takes any text for an error).
TEST(KernelSmoke, ServesControlTrafficDelaysAndReconnection) {
  Peer k;
  k.spawn({"ZELVAN_REDACT_LOG=1"});
  ASSERT_TRUE(k.accept());
  uint16_t port = 0, destPort = 0;
  ::close(tcpSocket(0, &port));  // free a moment ago
  const std::string config = "mixed-port: " + std::to_string(port) + R"(  # password: s3cret-7f1c
proxies: [{name: alpha, type: ss}, {name: beta, type: vmess}]
proxy-groups: [{name: Proxy, type: select, proxies: [alpha, beta, DIRECT]}])";
  EXPECT_EQ(k.ok("initCore", json{{"home-dir", "/tmp"}, {"version", 30}}.dump()), "");
  EXPECT_EQ(k.ok("setupConfig", json{{"config", config}}.dump()), "");
  EXPECT_EQ(k.ok("startListener"), "");
  EXPECT_EQ(k.ok("changeProxy", R"({"group-name":"Proxy","proxy-name":"DIRECT"})"), "");
  EXPECT_EQ(k.ok("updateConfig", R"({"mode":"Global","tun":{"enable":true}})"), "");
  const auto state = [&] {  // selection, mode, TUN setting, listening ports
    json c = k.ok("getConfig");
    return json{k.ok("getProxies")["proxies"]["Proxy"]["now"], c["mode"], c["tun"], c["listening"]};
  };
  const json expected = {"DIRECT", "global", {{"enable", true}}, {port}};
  EXPECT_EQ(state(), expected);

  // An HTTP CONNECT tunnel (daemon-level tests use SOCKS5); the test is client and destination.
  const int dest = tcpSocket(0, &destPort), in = tcpSocket(port);
  const std::string target = "127.0.0.1:" + std::to_string(destPort), up(60000, 'u'),
                    down(20000, 'd');
  ASSERT_TRUE(wire::writeAll(in, "CONNECT " + target + " HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(recvExactly(in, 39), "HTTP/1.1 200 Connection established\r\n\r\n");
  const int out = ::accept(dest, nullptr, nullptr);
  EXPECT_TRUE(wire::writeAll(in, up) && recvExactly(out, up.size()) == up);
  EXPECT_TRUE(wire::writeAll(out, down) && recvExactly(in, down.size()) == down);
  const json total = {{"up", 60000}, {"down", 20000}};  // payload only, handshakes excluded
  EXPECT_TRUE(eventually([&] { return k.ok("getTotalTraffic", false) == total; }))
      << k.ok("getTotalTraffic", false);
  EXPECT_EQ(k.ok("closeConnections"), "");
  char c;
  for (int fd : {in, out})
    EXPECT_TRUE(readable(fd, milliseconds(2000)) && ::recv(fd, &c, 1, 0) <= 0) << "still open";
  ::close(in), ::close(out);

  // One push per outbound but REJECT, each before the reply, which sums them up.
  json delays = k.ok("asyncTestDelay", json{{"url", "http://" + target + "/"}}.dump());
  EXPECT_EQ(delays.size(), 3u);
  std::vector<json> pushes;
  for (const char* name : {"DIRECT", "alpha", "beta"})
    pushes.push_back(
        {{"method", "message"},
         {"data", {{"type", "delay"}, {"data", {{"name", name}, {"value", delays[name]}}}}}});
  EXPECT_THAT(k.pushes, testing::UnorderedElementsAreArray(pushes));
  for (auto& [name, ms] : delays.items()) EXPECT_GE(ms, 1) << name;
  int measured = 0;  // each a real connection
  for (; readable(dest, milliseconds(300)); ++measured) ::close(::accept(dest, nullptr, nullptr));
  EXPECT_EQ(measured, 3);
  ::close(dest);

  // The control connection goes and comes back: no start-up again, state kept.
  k.drop();
  ASSERT_TRUE(k.accept(milliseconds(3000))) << "no reconnection";
  EXPECT_EQ(state(), expected);
  const std::string log = k.log();  // redacted: sizes and counts, never content or names
  EXPECT_THAT(log, HasSubstr("configuration of " + std::to_string(config.size()) + " bytes"));
  for (const char* secret : {"s3cret-7f1c", "alpha", "beta"})
    EXPECT_THAT(log, Not(HasSubstr(secret)));
}

// Each row: what must follow, the switch, what the test does. `code`: the exit status or reply
// code (-1: none); `mode`: what getConfig then shows ("": no answer); minS to maxS: the time to
// the exit or to the reply.
enum Probe { kVersion, kExitAlone, kNoControl, kSigterm, kUpdate, kDrop };
struct Row {
  const char* what;
  std::vector<std::string> env;
  Probe probe;
  int code;
  const char *data = "", *mode = "";
  double minS = 0, maxS = 1.5;
};

TEST(KernelFaults, EachSwitchTakesEffect) {
  // clang-format off
  const Row rows[] = {
      {"version run prints, exits 0", {}, kVersion, 0},
      {"version run prints, exits 5", {"ZELVAN_VERSION_EXIT=5"}, kVersion, 5},
      {"exits 3 at once", {"ZELVAN_EXIT_CODE=3"}, kExitAlone, 3},
      {"exits 4 after 0.7 s", {"ZELVAN_EXIT_CODE=4", "ZELVAN_EXIT_AFTER_MS=700"}, kExitAlone, 4, "", "", 0.65, 3},
      {"never connects, runs on", {"ZELVAN_NO_CONNECT=1"}, kNoControl, -1},
      {"SIGTERM ends it", {}, kSigterm, 0},
      {"SIGTERM ignored", {"ZELVAN_IGNORE_SIGTERM=1"}, kSigterm, -1},
      {"fails, not applied", {"ZELVAN_FAIL_METHOD=updateConfig:7:bad: mode"}, kUpdate, 7, "bad: mode", "rule"},
      {"applied, not answered", {"ZELVAN_SILENT_METHODS=getMemory, updateConfig"}, kUpdate, -1, "", "global"},
      {"nothing answered", {"ZELVAN_SILENT=1"}, kUpdate, -1},
      {"answered 0.5 s late", {"ZELVAN_REPLY_DELAY_MS=500"}, kUpdate, 0, "", "global", 0.45, 2},
      {"answered at once", {}, kUpdate, 0, "", "global", 0, 0.45},
      {"no reconnection, runs on", {"ZELVAN_NO_RECONNECT=1"}, kDrop, -1},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Peer k;
    k.spawn(row.env, row.probe == kVersion ? "version" : "");
    auto t0 = Clock::now();
    const auto inTime = [&] { return row.minS <= secondsSince(t0) && secondsSince(t0) < row.maxS; };
    if (row.probe <= kExitAlone) {
      EXPECT_TRUE(k.waitExit(milliseconds(5000)) && inTime());
      EXPECT_TRUE(row.probe != kVersion || k.log() == "zelvan-core 1.0.0\n") << k.log();
    } else {
      ASSERT_EQ(k.accept(milliseconds(1000)), row.probe != kNoControl);
    }
    if (row.probe == kSigterm) {
      ::kill(k.pid_, SIGTERM);
      EXPECT_TRUE(k.waitExit(milliseconds(1000)) || k.ok("getConfig")["mode"] == "rule");
    } else if (row.probe == kUpdate) {
      t0 = Clock::now();
      json r =
          k.call("updateConfig", R"({"mode":"global"})", milliseconds(row.code < 0 ? 700 : 3000));
      EXPECT_TRUE(row.code < 0 || inTime());
      EXPECT_EQ(r, (row.code < 0 ? json::object()
                                 : json{{"id", "1"}, {"code", row.code}, {"data", row.data}}));
      json cfg = json::parse(k.call("getConfig", "", milliseconds(700)).value("data", "{}"));
      EXPECT_EQ(cfg.value("mode", ""), row.mode);
      EXPECT_THAT(k.log(), HasSubstr("recv getConfig id=2"));  // received, at least
    } else if (row.probe == kDrop) {
      k.drop();
      EXPECT_FALSE(k.accept(milliseconds(1500))) << "reconnected";
    }
    const std::optional<int> status = k.waitExit(milliseconds(0));
    EXPECT_EQ(status.has_value(), row.probe <= kExitAlone || (row.probe == kSigterm && !row.code));
    EXPECT_TRUE(!status || (WIFEXITED(*status) && WEXITSTATUS(*status) == row.code)) << *status;
  }
}

}  // namespace
