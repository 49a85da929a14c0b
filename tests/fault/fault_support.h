// The fault suite's common ground: a fixture that runs the real daemon and the
// reference kernel in a sandbox root with two enabled network services and a
// disabled one, a follower of the daemon's log, and the check that follows
// every fault. After each fault the daemon must be alive and answering, hold
// as many descriptors as before, have no zombie child, have left no
// configuration text in any file, and the system proxy stand-in must be in a
// state the daemon may leave: every enabled service off, or every one on and
// pointing at 127.0.0.1 on the kernel's ports, never a mix.
//
// The suite promises at least 200 kernel kills, 20 daemon kills and 20 client
// deaths. Each test asserts its own share, counted as it happens, and prints
// it as "[ fault ] <what>: <n>"; the shares are fixed below so that the
// promise is checked when the suite is compiled.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/host_test_support.h"

namespace zelvo::testing::fault {

using namespace zelvo::testing::host;

// Kernel kills: crash loops run to the give-up (four kills each), kill cycles
// with a replay in between (three kills each), and kills that race the
// client's fresh starts (one each).
inline constexpr int kCrashLoopRounds = 20;
inline constexpr int kReplayCycles = 10;
inline constexpr int kStartRaceKills = 90;
static_assert(4 * kCrashLoopRounds + 3 * kReplayCycles + kStartRaceKills >= 200);

// Daemon kills: most while a kernel carries a transfer, some in the middle of
// a start or a stop.
inline constexpr int kDaemonKills = 22;
static_assert(kDaemonKills >= 20);

inline constexpr int kClientDeaths = 20;
static_assert(kClientDeaths >= 20);

// Log lines the fault tests wait for.
inline constexpr std::string_view kLaunched = "kernel started with PID: ";
inline constexpr std::string_view kTerminated = "kernel terminated with exit code: ";
inline constexpr std::string_view kRestartAttempt = "→ 自动重启内核 第 ";
inline constexpr std::string_view kGaveUp = "自动重启：连续 3 次仍失败，放弃（配置可能有问题）";
inline constexpr std::string_view kReplayed = "自动重启：模式/节点已回放，连接恢复";
inline constexpr std::string_view kDriven = "驱动序列完成";
inline constexpr std::string_view kAdoptWaiting = "re-adopt: 控制 socket 已重建，等待内核重连…";
inline constexpr std::string_view kAdopted = "re-adopt: 内核已重连，恢复控制（跳过 init/setup）";

inline bool contains(std::string_view line, std::string_view needle) {
  return line.find(needle) != std::string_view::npos;
}

// Follows a growing log file, reading only what was appended since the last
// look, so that tests can poll a long log every few milliseconds.
class LogTail {
 public:
  // Follows `path` from its current end.
  explicit LogTail(std::string path) : path_(std::move(path)) { offset_ = readFile(path_).size(); }

  // Takes in every complete line appended since the last call.
  void poll() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = chunk.rfind('\n');
    if (end == std::string::npos) return;
    offset_ += end + 1;
    std::istringstream lines(chunk.substr(0, end + 1));
    for (std::string line; std::getline(lines, line);) lines_.push_back(line);
  }

  const std::vector<std::string>& lines() const { return lines_; }
  size_t size() const { return lines_.size(); }

  // Lines from index `from` on that contain `needle`.
  size_t count(std::string_view needle, size_t from = 0) const {
    size_t n = 0;
    for (size_t i = from; i < lines_.size(); ++i) n += contains(lines_[i], needle);
    return n;
  }
  // Index of the first line at or after `from` containing `needle`, or size().
  size_t find(std::string_view needle, size_t from = 0) const {
    for (size_t i = from; i < lines_.size(); ++i) {
      if (contains(lines_[i], needle)) return i;
    }
    return lines_.size();
  }
  // Index of the last line containing `needle`, or size().
  size_t findLast(std::string_view needle) const {
    for (size_t i = lines_.size(); i-- > 0;) {
      if (contains(lines_[i], needle)) return i;
    }
    return lines_.size();
  }
  // Waits until `pred(*this)` holds, polling every 5 ms.
  template <class Pred>
  bool waitUntil(Pred pred, double timeoutSeconds) {
    return eventually(
        [&] {
          poll();
          return pred(*this);
        },
        timeoutSeconds, 0.005);
  }
  // Waits until at least `n` lines from `from` on contain `needle`.
  bool waitForCount(std::string_view needle, size_t n, double timeoutSeconds, size_t from = 0) {
    return waitUntil([&](const LogTail& t) { return t.count(needle, from) >= n; }, timeoutSeconds);
  }

 private:
  std::string path_;
  size_t offset_ = 0;
  std::vector<std::string> lines_;
};

// The process id that a "kernel started with PID: <pid>" line names, 0 if none.
inline pid_t launchedPid(const std::string& line) {
  const auto at = line.find(kLaunched);
  if (at == std::string::npos) return 0;
  return static_cast<pid_t>(std::atol(line.c_str() + at + kLaunched.size()));
}

// "<descriptor> -> <target>" for every open descriptor of `pid`: what a
// failed descriptor count needs to be understood.
inline std::string describeFds(pid_t pid) {
  std::string out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return "(cannot list " + dir + ")";
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[512];
    const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    out += std::string("  ") + e->d_name + " -> " + target + "\n";
  }
  ::closedir(d);
  return out;
}

// What the system proxy stand-in holds, seen from the daemon's contract.
struct ProxyPicture {
  enum class Kind { Off, On, Mixed } kind = Kind::Mixed;
  int64_t httpPort = 0;
  int64_t socksPort = 0;
  std::string detail;  // why it is mixed, or the whole state

  static ProxyPicture off() { return {Kind::Off, 0, 0, {}}; }
  static ProxyPicture on(int64_t http, int64_t socks) { return {Kind::On, http, socks, {}}; }
  bool operator==(const ProxyPicture& o) const {
    return kind == o.kind &&
           (kind != Kind::On || (httpPort == o.httpPort && socksPort == o.socksPort));
  }
};

inline std::ostream& operator<<(std::ostream& os, const ProxyPicture& p) {
  switch (p.kind) {
    case ProxyPicture::Kind::Off:
      return os << "off";
    case ProxyPicture::Kind::On:
      return os << "on at 127.0.0.1 http " << p.httpPort << " socks " << p.socksPort;
    case ProxyPicture::Kind::Mixed:
      return os << "mixed: " << p.detail;
  }
  return os;
}

// Reads the stand-in's state for the enabled services `enabled` (and makes
// sure no disabled service in `untouchable` was ever written).
inline ProxyPicture proxyPicture(const SandboxRoot& root, const std::vector<std::string>& enabled,
                                 const std::vector<std::string>& untouchable) {
  const Json state = proxyState(root);
  ProxyPicture p;
  p.detail = state.dump();
  for (const auto& s : untouchable) {
    if (state.contains(s)) return p;
  }
  bool anyOn = false, anyOff = false;
  std::optional<std::string> http, socks;
  bool samePorts = true;
  for (const auto& service : enabled) {
    for (const char* kind : {"web", "secureweb", "socks"}) {
      const bool isOn = state.contains(service) && state[service].contains(kind) &&
                        state[service][kind].value("enabled", false);
      if (!isOn) {
        anyOff = true;
        continue;
      }
      anyOn = true;
      const Json& k = state[service][kind];
      if (k.value("server", "") != "127.0.0.1") samePorts = false;
      auto& want = std::string(kind) == "socks" ? socks : http;
      const std::string port = k.value("port", "");
      if (!want) want = port;
      if (*want != port) samePorts = false;
    }
  }
  if (anyOn && anyOff) return p;
  if (!anyOn) return ProxyPicture::off();
  if (!samePorts) return p;
  return ProxyPicture::on(std::atoll(http->c_str()), std::atoll(socks->c_str()));
}

// The fixture of every fault test. The daemon runs in a sandbox root whose
// networksetup lists "Wi-Fi" and "Ethernet" enabled and "Bluetooth PAN"
// disabled; every configuration carries a marker that must never reach a
// file.
class FaultTest : public HostTest {
 protected:
  FaultTest() : marker_(uniqueMarker()) {}

  // Starts the daemon with `env` (the kernel inherits it), connects the
  // test's client and takes the descriptor baseline of an idle daemon.
  void startFaultDaemon(const Env& env = {}) {
    setServices(root_, "Wi-Fi\nEthernet\n*Bluetooth PAN\n");
    startDaemon(env);
    client_->setTimeout(std::chrono::seconds(30));
    ASSERT_TRUE(client_->getVersion().ok());
    baselineFds_ = settledFdCount();
    ASSERT_GT(baselineFds_, 0);
  }

  // Kills the daemon and starts it again with `env`; the client reconnects
  // on its next call. The descriptor baseline is left as it was: an idle
  // daemon of the same program holds the same descriptors.
  void restartDaemonWith(const Env& env) {
    daemon_->kill9();
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    daemon_->start();
    for (const auto& [k, v] : env) ::unsetenv(k.c_str());
    ASSERT_TRUE(waitUntilSettled(*daemon_));
    ASSERT_TRUE(client_->getVersion().ok());
  }

  std::string config(uint16_t port) const { return yamlConfig(port, marker_); }

  // The daemon's descriptor count once it has held still for 300 ms: tools
  // that it runs through pipes come and go.
  int settledFdCount(double timeoutSeconds = 10.0) const {
    int last = daemon_->openFdCount();
    int stable = 0;
    eventually(
        [&] {
          const int now = daemon_->openFdCount();
          stable = now == last ? stable + 1 : 0;
          last = now;
          return stable >= 15;
        },
        timeoutSeconds);
    return last;
  }

  ProxyPicture proxyNow() const {
    return proxyPicture(root_, {"Wi-Fi", "Ethernet"}, {"Bluetooth PAN"});
  }

  // The checks that follow every fault (see the file comment). `fds` is the
  // descriptor count the daemon must return to (the idle baseline unless a
  // kernel is meant to be running); `proxy` the state the stand-in must hold.
  void expectNothingLeftBehind(const ProxyPicture& proxy, std::optional<int> fds = std::nullopt) {
    ASSERT_TRUE(daemon_->running()) << "the daemon died";
    const auto asked = Clock::now();
    auto version = client_->getVersion();
    ASSERT_TRUE(version.ok()) << version.error->localizedDescription();
    EXPECT_EQ(version->rfind("1.0.5", 0), 0u) << *version;
    EXPECT_LT(secondsSince(asked), 2.0) << "the daemon was slow to answer getVersion";

    const int want = fds.value_or(baselineFds_);
    EXPECT_TRUE(eventually([&] { return daemon_->openFdCount() == want; }, 10.0))
        << "the daemon holds " << daemon_->openFdCount() << " descriptors, " << want
        << " expected:\n"
        << describeFds(daemon_->pid());

    EXPECT_TRUE(eventually([&] { return zombieChildren(daemon_->pid()).empty(); }, 5.0))
        << zombieChildren(daemon_->pid()).size() << " zombie children of the daemon";

    EXPECT_EQ(filesContaining(root_.path(), marker_), std::vector<std::string>{})
        << "configuration text reached a file";

    EXPECT_EQ(proxyNow(), proxy);
  }

  std::string marker_;
  int baselineFds_ = -1;
};

}  // namespace zelvo::testing::fault
