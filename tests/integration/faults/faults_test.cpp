// Fault scenarios: each row of the table at the end repeats its fault ZELVO_FAULT_<row>
// times (few for CI, many for a soak run), then runs the same after-checks.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>

#include "support/scenario.h"

namespace zelvo::testing {
namespace {

// What a log gains after construction, reread from a fresh stream (no daemon may inherit it).
class Tail {
 public:
  explicit Tail(std::string path)
      : path_(std::move(path)), at_(std::filesystem::file_size(path_)) {}
  size_t count(std::string_view needle) {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(std::streamoff(at_ + text_.size()));
    text_.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    size_t n = 0;
    for (size_t at = 0; (at = text_.find(needle, at)) != std::string::npos; ++at) ++n;
    return n;
  }
  std::optional<Clock::time_point> wait(std::string_view needle, double timeout) {
    if (!eventually([&] { return count(needle) > 0; }, timeout)) return std::nullopt;
    return Clock::now();
  }
  std::string path_, text_;
  size_t at_;
};

class Faults;
struct Fault {
  const char* name;
  int ciCount;
  void (Faults::*once)(int i);
  bool withKernel;        // brought up before the first fault
  Env env;                // the daemon's, inherited by the kernel
  double bounds[4] = {};  // for unresponsive kernels: query and death windows
};

class Faults : public Scenario, public ::testing::WithParamInterface<Fault> {
 public:
  static bool ok(const Result<bool>& r) { return r.ok() && *r; }
  static std::string on(uint16_t port) { return "on 127.0.0.1:" + std::to_string(port); }
  std::string config() const { return yamlConfig(port_, marker_); }
  Tail daemonLog() const { return Tail(root() + "/daemon.log"); }
  // "off" or on(port) when every kind of every enabled service agrees; else the state.
  std::string proxyPicture() const {
    Json s = proxyState();
    std::set<std::string> seen;
    for (const char* service : {"Wi-Fi", "Ethernet"}) {
      for (const char* kind : {"web", "secureweb", "socks"}) {
        const Json k = s[service][kind];
        const bool on = k.is_object() && k.value("enabled", false);
        seen.insert(on ? "on " + k.value("server", "") + ":" + k.value("port", "") : "off");
      }
    }
    return seen.size() == 1 && !s.contains("Bluetooth PAN") ? *seen.begin() : s.dump();
  }
  void bringUp() {  // a kernel with a tunnel through it, the client's mode and selection, the proxy
    Tail log = daemonLog();
    const auto started = client().startProxy(config());
    // A start answers after 1.0 s; a loaded machine may take longer to connect the kernel.
    ASSERT_TRUE(started.ok() && started->success && log.wait("驱动序列完成", 20));
    ASSERT_TRUE(ok(client().setSystemProxy("127.0.0.1", port_, port_)) &&
                ok(client().setRouteMode("global")) &&
                ok(client().selectOutbound("Proxy", "node-b")));
    ::close(tunnel_);
    ASSERT_TRUE(echoes(tunnel_ = socks5Tunnel(port_, echo_.port()), "through the kernel"));
  }

  // The replayed kernel is killed alone, with its relaunch at once or once driven, or racing a
  // reload (two deaths, below the restart limit); one kernel comes back replayed and serving.
  void kernelKill(int i) {
    Tail log = daemonLog();
    pid_t pid = 0;
    auto next = [&] { return (pid = kernelPid()) > 0 && pid != killed_ && !::kill(pid, SIGKILL); };
    auto killNext = [&] {  // the first kernel but the last one killed, as soon as it runs
      ++kills_;
      return eventually(next, 20, 0.001) && (killed_ = pid) > 0;
    };
    auto seen = [&](auto done) {  // noting how many kernels ran at once meanwhile
      return eventually([&] { return (most_ = std::max(most_, kernelPids().size())), done(); }, 20);
    };
    auto replayed = [&] {  // selected, in mode unless replayed before driven, carrying a tunnel
      const bool late = log.count("驱动序列完成") == 0 ||
                        log.text_.rfind("驱动序列完成") > log.text_.rfind("模式/节点已回放");
      if (kernelPid() == killed_ || query("getConfig")["mode"] != (late ? "rule" : "global"))
        return false;
      const bool selected = query("getProxies")["proxies"]["Proxy"]["now"] == "node-b";
      const int fd = selected ? socks5Tunnel(port_, echo_.port()) : -1;
      const bool carried = echoes(fd, "through the new kernel");
      return ::close(fd), carried;
    };
    auto reloaded = std::make_shared<std::atomic<bool>>(i % 4 != 3);
    if (!*reloaded) client().reloadProxy(config(), [reloaded](auto) { *reloaded = true; });
    ASSERT_TRUE(killNext());
    const auto killedAt = Clock::now();
    ASSERT_TRUE(i % 4 != 2 || seen([&] { return log.count("驱动序列完成") > 0; }));  // driven
    const size_t kills = i % 4 == 1 || i % 4 == 2 ? 2 : 1;
    ASSERT_TRUE(kills == 1 || killNext());
    ASSERT_TRUE(seen([&] {
                  return log.count("自动重启：内核已重新拉起，回放运行时状态") >= kills &&
                         log.count("自动重启：模式/节点已回放，连接恢复") > 0;
                }) &&
                seen(replayed));
    recoveries_.push_back(secondsBetween(killedAt, Clock::now()));
    EXPECT_TRUE(eventually([&] { return reloaded->load(); }, 10));
  }

  // Every kernel exits 0.1 s after its start, so the replay due 1.5 s after a relaunch finds
  // none running to reset the count: three restarts, the give-up, then no kernel.
  void crashLoop(int) {
    Tail log = daemonLog();
    const auto t0 = Clock::now();
    const auto started = client().startProxy(config());
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(*started, (OperationResult{false, "内核 process exited immediately"}));
    const auto gaveUp = log.wait("自动重启：连续 3 次仍失败，放弃（配置可能有问题）", 30);
    ASSERT_TRUE(gaveUp);
    recoveries_.push_back(secondsBetween(t0, *gaveUp));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // longer than a relaunch takes
    EXPECT_EQ(log.count("自动重启内核 第 "), 3u);
    EXPECT_EQ(log.count("自动重启内核 第 3/3 次"), 1u);
    EXPECT_EQ(log.count("kernel started with PID: "), 4u);
    EXPECT_TRUE(kernelPids().empty());
  }

  // Start, a query and an action (their 5 s time-outs; at once unconnected) and stop in bounds; a
  // SIGTERM-ignoring kernel is SIGKILLed 5 s after the stop unless the shutdown notice ends it.
  void unresponsive(int) {
    const double* b = GetParam().bounds;
    Tail log = daemonLog();
    const auto t0 = Clock::now();
    const auto started = client().startProxy(config());
    const auto t1 = Clock::now();
    const auto answer = client().kernelQuery("getMemory", "");
    const bool changed = ok(client().setRouteMode("global"));
    const double each = secondsBetween(t1, Clock::now()) / 2;  // the query's and the action's
    const pid_t kernel = kernelPid();
    client().stopProxy([](auto) {});
    const auto t2 = Clock::now();
    ASSERT_TRUE(kernel > 0 && eventually([&] { return !processAlive(kernel); }, 10, 0.01));
    recoveries_.push_back(secondsBetween(t2, Clock::now()));
    EXPECT_TRUE(started.ok() && started->success && !changed && secondsBetween(t0, t1) <= 4.0);
    EXPECT_TRUE(answer.ok() && !answer->has_value() && each >= b[0] && each <= b[1]) << each;
    EXPECT_TRUE(recoveries_.back() >= b[2] && recoveries_.back() <= b[3]) << recoveries_.back();
    EXPECT_TRUE(log.wait("kernel stopped", 5));
    EXPECT_EQ(log.count("Force killing kernel..."), b[2] > 0 ? 1u : 0u);
  }
  // The daemon is killed idle or in a reload, start, launch or stop and restarted: a survivor is
  // re-adopted (if untouched: not started again, its tunnel uncut), else the proxy cleared.
  void daemonKill(int i) {
    const std::pair<std::function<void()>, const char*> moments[] = {
        {nullptr, "idle"},
        {[&] { client().reloadProxy(config(), [](auto) {}); }, "Config updated"},
        {[&] { client().startProxy(config(), [](auto) {}); }, "Config held in memory"},
        {[&] { client().startProxy(config(), [](auto) {}); }, "kernel started with PID"},
        {[&] { client().stopProxy([](auto) {}); }, "stopProxy called"}};
    const int k = i % 2 ? 0 : 1 + i / 2 % 4;
    const bool untouched = k < 2;  // idle or reloaded: the kernel and its tunnels stay
    Tail klog(dataDir() + "/kernel.log"), before = daemonLog();
    const pid_t kernel = kernelPid();
    if (k > 0) moments[k].first();
    ASSERT_TRUE(k == 0 || before.wait(moments[k].second, 15));
    killDaemon();
    const auto killedAt = Clock::now();
    EXPECT_TRUE(!untouched || echoes(tunnel_, "with no daemon"));
    Tail log = daemonLog();
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    // What reconciliation found decides, not what runs a moment later: a kernel caught in a
    // stop is adopted in its last moments and then never reconnects.
    const bool adopted = log.count("启动对账：重接管存活内核") == 1;
    const auto kernels = kernelPids();
    ASSERT_LE(kernels.size(), 1u);
    if (!adopted) {  // none found, or one found that was gone by the time it was taken over
      EXPECT_EQ(kernels.size(), 0u);
      EXPECT_EQ(log.count("启动对账：清理遗留的本机系统代理（上次崩溃残留），恢复直连") +
                    log.count("启动对账：重接管失败 → 杀内核 + 清系统代理"),
                1u);
      EXPECT_EQ(proxyPicture(), "off");
    } else if (log.wait("re-adopt: 内核已重连，恢复控制（跳过 init/setup）", 10)) {
      EXPECT_EQ(proxyPicture(), on(port_));
    } else {
      ASSERT_EQ(kernelPids().size(), 0u) << "a live adopted kernel did not reconnect";
    }
    if (untouched) {
      ASSERT_TRUE(adopted);
      EXPECT_EQ(kernels.front(), kernel);
      // The query's round trip orders any start-up request sent before it into the log.
      EXPECT_TRUE(query("getConfig").is_object());
      EXPECT_EQ(klog.count("] recv initCore id="), 0u) << "the adopted kernel was started again";
      EXPECT_TRUE(echoes(tunnel_, "after the re-adoption")) << "the tunnel was cut";
    } else {
      ASSERT_NO_FATAL_FAILURE(bringUp());  // a kernel caught in its start-up serves nothing
    }
    recoveries_.push_back(secondsBetween(killedAt, Clock::now()));
  }

  // The watched client (zelvoctl watch, connected last) dies: one teardown within a 4 s
  // tick (a second would show in the next fault's log).
  void clientDeath(int) {
    Tail log = daemonLog();
    Child app({ZELVOCTL_BIN, "--root", root(), "watch"});
    const std::string pid = std::to_string(app.pid());
    ASSERT_TRUE(log.wait("Accepted new connection (client pid=" + pid + ")", 10));
    ASSERT_NO_FATAL_FAILURE(bringUp());
    ::kill(app.pid(), SIGKILL);
    const auto killedAt = Clock::now();
    app.wait(5);
    const auto noticed =
        log.wait("看门狗：主程序(pid " + pid + ")已消失（崩溃/强杀）→ 停内核 + 清系统代理/TUN", 15);
    ASSERT_TRUE(noticed);
    recoveries_.push_back(secondsBetween(killedAt, *noticed));
    EXPECT_LE(recoveries_.back(), 4.0 + 1.0);
    ASSERT_TRUE(log.wait("看门狗：已因主程序(pid " + pid + ")消失完成兜底拆除，系统恢复直连", 20));
    EXPECT_EQ(log.count("看门狗："), 2u);
    EXPECT_EQ(log.count("kernel stopped"), 1u);
    EXPECT_TRUE(kernelPids().empty());
    EXPECT_EQ(proxyPicture(), "off");
  }

  // A complete frame no client may send closes its connection alone: the good client is
  // not cut and is served; nothing reaches the kernel or the system proxy.
  void badClient(int i) {
    static std::mt19937 rng(20261204);
    if (i == 0) client().setInterruptionHandler([] { ADD_FAILURE() << "the good client was cut"; });
    std::string garbage(1 + rng() % 512, '\0');
    for (auto& b : garbage) b = char(rng());
    using W = WireClient;
    // clang-format off
    const std::string frames[] = {
        W::frame(garbage), W::frame("", 0), W::frame("", 256u << 20 | (rng() % 1000 + 1)),
        W::frame("\xc1"), W::frame("\x92\x01\x02"),
        W::request(1, "setSystemProxyWithHost:httpPort:socksPort:completion:", {"h", "80", 80}),
        W::request(1, "startProxyWithConfig:completion:", {7}),
        W::request(1, "stopProxyWithCompletion:", {true}),
        W::request(1, "noSuchSelector:", Json::array()),
        W::request("1", "getVersionWithCompletion:", Json::array()),
        W::request(1, "installKernelWithBinaryData:completion:", {{{"$class", "NSArray"}}})};
    // clang-format on
    const size_t proxyCalls = calls("networksetup").size();
    Tail log = daemonLog(), klog(dataDir() + "/kernel.log");
    WireClient c(socketPath());
    const auto t0 = Clock::now();
    EXPECT_TRUE(c.send(frames[i % std::size(frames)]) && c.closedByPeer());
    recoveries_.push_back(secondsBetween(t0, Clock::now()));
    EXPECT_TRUE(client().getVersion().ok());
    EXPECT_EQ(log.count("Accepted new connection"), 1u) << "the good client reconnected";
    EXPECT_EQ(klog.count("] recv "), 0u) << "a bad request reached the kernel";
    EXPECT_EQ(calls("networksetup").size(), proxyCalls) << "a bad request reached the proxy";
  }

  std::string marker_ = uniqueMarker();
  uint16_t port_ = freePort();
  EchoServer echo_;
  int tunnel_ = -1;
  pid_t killed_ = 0;  // the kernel killed last
  size_t most_ = 0;   // kernels at once, as seen during recoveries
  int kills_ = 0;
  std::vector<double> recoveries_;
};

TEST_P(Faults, EveryFaultIsRecoveredAndLeavesNothingBehind) {
  const Fault& f = GetParam();
  const char* count = std::getenv(("ZELVO_FAULT_" + std::string(f.name)).c_str());
  const int n = count ? std::atoi(count) : f.ciCount;
  setServices("Wi-Fi\nEthernet\n*Bluetooth PAN\n");
  startDaemon({}, f.env);
  ASSERT_TRUE(client().getVersion().ok());
  const int idleFds = openFds(daemonPid());

  if (f.withKernel) bringUp();
  for (int i = 0; i < n && !HasFatalFailure(); ++i) (this->*f.once)(i);
  ASSERT_TRUE(ok(client().stopProxy()));
  EXPECT_LE(most_, 1u) << "two kernels at once";
  const auto asked = Clock::now();
  const auto version = client().getVersion();
  EXPECT_TRUE(version.ok() && version->rfind("1.0.5", 0) == 0 &&
              secondsBetween(asked, Clock::now()) < 2.0);
  EXPECT_TRUE(eventually([&] { return openFds(daemonPid()) == idleFds; }, 10))
      << "the daemon holds " << openFds(daemonPid()) << " descriptors, " << idleFds << " when idle";
  auto zombie = [&](pid_t p) { return parentOf(p) == daemonPid() && processState(p) == 'Z'; };
  EXPECT_TRUE(eventually([&] { return std::ranges::none_of(allPids(), zombie); }, 5));
  EXPECT_EQ(filesContaining(root(), marker_), std::vector<std::string>{});
  const std::string picture = proxyPicture();
  EXPECT_TRUE(picture == "off" || picture == on(port_)) << picture;
  ASSERT_FALSE(recoveries_.empty());
  std::sort(recoveries_.begin(), recoveries_.end());
  std::cout << "[ fault ] " << f.name << ": " << n << " faults, " << kills_ << " kernels killed;"
            << " recovered within " << recoveries_.back() << " s, median "
            << recoveries_[(recoveries_.size() - 1) / 2] << " s\n";
}

// clang-format off
const Fault kFaults[] = {
    {"KERNEL_KILLS", 8, &Faults::kernelKill, true, {}, {}},
    {"CRASH_LOOPS", 2, &Faults::crashLoop, false,
     {{"ZELVAN_EXIT_CODE", "1"}, {"ZELVAN_EXIT_AFTER_MS", "100"}}, {}},
    {"SILENT", 2, &Faults::unresponsive, false,
     {{"ZELVAN_SILENT", "1"}, {"ZELVAN_IGNORE_SIGTERM", "1"}}, {4.9, 6.5, 0, 1}},
    {"UNCONNECTED", 2, &Faults::unresponsive, false, {{"ZELVAN_NO_CONNECT", "1"}}, {0, 1, 0, 1}},
    {"SIGTERM_IGNORED", 2, &Faults::unresponsive, false,
     {{"ZELVAN_NO_CONNECT", "1"}, {"ZELVAN_IGNORE_SIGTERM", "1"}}, {0, 1, 4.9, 6}},
    {"DAEMON_KILLS", 8, &Faults::daemonKill, true, {}, {}},
    {"CLIENT_DEATHS", 3, &Faults::clientDeath, false, {}, {}},
    {"BAD_CLIENTS", 300, &Faults::badClient, true, {}, {}}};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Faults, Faults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelvo::testing
