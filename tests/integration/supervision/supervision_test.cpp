// The kernel's life under the daemon, as a client and the kernel itself see
// it: start, steer, reload and stop with the configuration kept off disk; the
// query whitelist and pushed delays; the relaunch and replay after a crash and
// their timing; the give-up after three attempts; re-adoption after a daemon
// restart without cutting connections; who may hold the control socket, which
// processes count as the kernel, and the privacy of the kernel's directories.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <sstream>

#include "support/scenario.h"

namespace zelvo::testing {
namespace {

using Supervision = Scenario;

ProxyStatus statusOf(HelperClient& client) {
  const auto s = client.getProxyStatus();
  if (!s.ok() || !s->has_value()) ADD_FAILURE() << "no status record";
  return s.ok() && s->has_value() ? **s : ProxyStatus{};
}

TEST_F(Supervision, ConfigurationRunsTheKernelFromMemoryOnly) {
  const std::string marker = uniqueMarker();  // also in a config file an earlier run left
  writeFile(dataDir() + "/work/config.yaml", marker);
  startDaemon();
  const uint16_t port = startKernel(marker);
  const pid_t kernel = kernelPid();
  ASSERT_GT(kernel, 0);

  const size_t characters = yamlConfig(port, marker).size() - 11;  // "机密🇭🇰": 3 in 14 bytes
  EXPECT_EQ(countLog("startProxy called with config length: " + std::to_string(characters)), 1u);
  const ProxyStatus running = statusOf(client());
  EXPECT_EQ(Json({running.isRunning, running.httpPort, running.socksPort, running.mode}),
            Json({true, port, port, "rule"}));

  // In a session of its own: a signal to the daemon's group does not reach it.
  const std::string stat = procFile(kernel, "stat");
  std::string state, parent, group, session;
  std::istringstream(stat.substr(stat.rfind(')') + 2)) >> state >> parent >> group >> session;
  EXPECT_EQ(group + " " + session, std::to_string(kernel) + " " + std::to_string(kernel));

  EchoServer echo;
  const int tunnel = socks5Tunnel(port, echo.port());
  // The record and the traffic figures carry the kernel's own totals, and
  // the figures its current rates (traffic in the last second).
  EXPECT_TRUE(eventually(
      [&] {
        if (!echoes(tunnel, "through the kernel")) return false;
        const Json total = query("getTotalTraffic");
        const ProxyStatus counted = statusOf(client());
        const auto traffic = client().getTrafficStats();
        return counted.uplink > 0 && traffic.ok() && traffic->up > 0 && traffic->down > 0 &&
               Json({counted.uplink, counted.downlink, traffic->totalUp, traffic->totalDown}) ==
                   Json({total["up"], total["down"], total["up"], total["down"]});
      },
      5, 0.05));

  // Steering shows in the kernel's own view; a selection is mirrored into GLOBAL
  // and cuts the connections routed before it. The status keeps saying "rule".
  ASSERT_TRUE(*client().selectOutbound("Proxy", "node-b"));
  EXPECT_FALSE(echoes(tunnel, "old route"));
  ::close(tunnel);
  ASSERT_TRUE(*client().setRouteMode("global"));
  ASSERT_TRUE(*client().updateTun(true));
  EXPECT_EQ(query("getProxies")["proxies"]["GLOBAL"]["now"], "node-b");
  // Refused in its group, a selection still goes to GLOBAL; one in GLOBAL goes once.
  EXPECT_FALSE(*client().selectOutbound("Proxy", "DIRECT"));
  EXPECT_EQ(query("getProxies")["proxies"]["GLOBAL"]["now"], "DIRECT");
  const size_t selections = kernelReceived("changeProxy");
  EXPECT_TRUE(*client().selectOutbound("GLOBAL", "node-a"));
  EXPECT_EQ(kernelReceived("changeProxy"), selections + 1);
  EXPECT_EQ(query("getProxies")["proxies"]["Proxy"]["now"], "node-b");
  const Json config = query("getConfig");
  EXPECT_EQ(config["mode"], "global") << config.dump();
  EXPECT_EQ(config["tun"], Json::parse(R"({"enable":true,"device":"","stack":"gvisor",
      "dns-hijack":["any:53"],"auto-route":true,"route-address":[]})"));
  EXPECT_EQ(statusOf(client()).mode, "rule");

  // A reload larger than any one read reaches the kernel whole; in the JSON
  // form the ports come from its inbounds.
  const std::string reloadMarker = uniqueMarker();
  const int64_t http = freePort(), socks = freePort();
  Json reload{{"note", reloadMarker + std::string(300000, 'x')}};
  reload["inbounds"] = {{{"type", "socks"}, {"listen_port", socks}},
                        {{"type", "mixed"}, {"listen_port", http}}};
  const std::string reloadText = reload.dump();
  const auto reloaded = client().reloadProxy(reloadText);
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(*reloaded, (OperationResult{true, std::nullopt}));
  const ProxyStatus moved = statusOf(client());
  EXPECT_EQ(Json({moved.httpPort, moved.socksPort}), Json({http, socks}));
  EXPECT_NE(kernelLog().find("configuration of " + std::to_string(reloadText.size()) + " bytes"),
            std::string::npos);

  // Neither while the kernel runs nor after it stopped is it on disk.
  for (const auto& m : {marker, reloadMarker}) EXPECT_EQ(filesContaining(root(), m), Args{});
  ASSERT_TRUE(*client().stopProxy());
  EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 10));
  EXPECT_EQ(*client().getTrafficStats(), TrafficStats{});
  for (const auto& m : {marker, reloadMarker}) EXPECT_EQ(filesContaining(root(), m), Args{});
  EXPECT_TRUE(logInOrder(
      {"Config held in memory (", "Found kernel at: ", "Control socket listening at: ",
       "Found kernel at: ", "kernel started with PID: ", "Proxy started successfully",
       "Proxy reloaded successfully", "Stopping kernel...", "Proxy stopped successfully"}));
}

TEST_F(Supervision, OnlyWhitelistedQueriesReachTheKernelAndPushedDelaysAreCollected) {
  startDaemon();
  for (const char* method : {"getProxies", "__pushedDelays"}) {  // no kernel yet
    EXPECT_EQ(*client().kernelQuery(method, ""), std::nullopt) << method;
  }
  ASSERT_NE(startKernel(), 0);
  for (const char* method : {"getConnections", "getMemory", "getProxies", "getConfig", "getTraffic",
                             "getTotalTraffic", "getExternalProviders"}) {
    EXPECT_TRUE(query(method).is_object()) << method;
  }
  for (const char* method : {"getRules", "shutdown", "setupConfig", "changeProxy", ""}) {
    EXPECT_EQ(*client().kernelQuery(method, "{}"), std::nullopt) << method;
    EXPECT_EQ(kernelReceived(method), method == std::string("setupConfig") ? 1u : 0u) << method;
  }
  EXPECT_EQ(countLog("kernelQuery 拒绝非白名单方法: getRules"), 1u);
  // One the kernel could not read is not sent, and the channel stays up.
  EXPECT_EQ(*client().kernelQuery("getProxies", std::string(32u << 20, 'a')), std::nullopt);
  EXPECT_TRUE(query("getMemory").is_object());

  ASSERT_TRUE(query("asyncTestDelay", "{}").is_object());
  Json delays;
  EXPECT_TRUE(eventually(
      [&] {
        delays = query("__pushedDelays");
        return delays.is_object() && delays.contains("node-a") && delays.contains("node-b");
      },
      10));
  EXPECT_TRUE(delays.is_object() && delays["node-a"].is_number()) << delays.dump();
  ASSERT_NE(startKernel(), 0);  // a new kernel's results start afresh
  EXPECT_EQ(query("__pushedDelays"), Json::object());
}

TEST_F(Supervision, CrashedKernelIsRelaunchedAfterOneSecondAndReplayedAfterOneAndAHalf) {
  startDaemon();
  ASSERT_NE(startKernel(), 0);
  ASSERT_TRUE(*client().setRouteMode("global"));
  ASSERT_FALSE(*client().setRouteMode("no-such-mode"));  // refused: not replayed
  ASSERT_TRUE(*client().selectOutbound("Proxy", "node-b"));
  const pid_t old = kernelPid();
  ASSERT_GT(old, 0);

  // The third relaunch takes 2.5 s to connect: the replay at 1.5 s does not wait, so its mode is
  // lost (the selection comes with the configuration), and the counter is reset all the same.
  for (int round = 1; round <= 3; ++round) {
    const bool slow = round == 3;
    if (slow) {
      const std::string real = root() + "/real-kernel";
      ASSERT_EQ(::rename(kernelPath().c_str(), real.c_str()), 0);
      writeFile(kernelPath(), "#!/bin/bash\nsleep 2.5\nexec -a \"$0\" " + real + " \"$@\"\n", 0755);
    }
    ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
    // The replay resets the attempt counter: every crash starts again at 1/3.
    const auto noticed = waitLog("内核意外退出（exit code 9）→ 自动重启内核 第 1/3 次", 5, round);
    const auto relaunched = waitLog("自动重启：内核已重新拉起，回放运行时状态", 5, round);
    const auto replayed = waitLog("自动重启：模式/节点已回放，连接恢复", 8, round);
    ASSERT_TRUE(noticed && relaunched && replayed);
    const double toRelaunch = secondsBetween(*noticed, *relaunched);
    const double toReplay = secondsBetween(*relaunched, *replayed);
    // 1.0 s, then the stale-kernel sweep (0.4 s grace) before the launch: 1.0 s to 2.1 s.
    EXPECT_NEAR(toRelaunch, 1.55, 0.55);
    // 1.5 s, then three quick round trips: 1.45 s to 2.4 s.
    EXPECT_NEAR(toReplay, 1.925, 0.475);
    ASSERT_TRUE(waitLog("驱动序列完成", 5, round + 1));
    EXPECT_NE(kernelPid(), old);  // a new kernel, serving as the replay left it
    EXPECT_EQ(query("getConfig")["mode"], slow ? "rule" : "global");
    EXPECT_EQ(query("getProxies")["proxies"]["Proxy"]["now"], "node-b");
  }
  EXPECT_EQ(countLog("第 2/3 次"), 0u);
  // Kept across launches: the selection (mirrored into GLOBAL), sent again by each timely replay.
  EXPECT_EQ(Json({kernelReceived("initCore"), kernelReceived("changeProxy")}), Json({4, 6}));
  // In the relaunch pause, a start is not undone (a crash of its kernel replays
  // its own mode, not the last one) and a stop is final.
  ASSERT_EQ(::rename((root() + "/real-kernel").c_str(), kernelPath().c_str()), 0);
  for (const bool start : {true, false}) {
    ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
    ASSERT_TRUE(waitLog("自动重启内核 第 1/3 次", 5, start ? 4 : 6));
    ASSERT_TRUE(start ? startKernel() != 0 : *client().stopProxy());
    EXPECT_FALSE(waitLog("自动重启：内核已重新拉起", 2, start ? 4 : 5));
    EXPECT_EQ(kernelPids().size(), start ? 1u : 0u);
    if (!start) continue;
    ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
    ASSERT_TRUE(waitLog("自动重启：模式/节点已回放，连接恢复", 8, 4));
    EXPECT_EQ(Json({query("getConfig")["mode"], query("getProxies")["proxies"]["Proxy"]["now"]}),
              Json({"rule", "node-a"}));
  }
}

TEST_F(Supervision, RelaunchesThatKeepFailingGiveUpAfterThree) {
  std::filesystem::create_directories(at("/run/systemd/sessions"));
  startDaemon({"--host", "linux"});
  ASSERT_NE(startKernel(), 0);
  const pid_t kernel = kernelPid();
  ASSERT_GT(kernel, 0);
  ASSERT_EQ(::unlink(kernelPath().c_str()), 0);
  ASSERT_EQ(::kill(kernel, SIGKILL), 0);
  ASSERT_TRUE(waitLog("自动重启：连续 3 次仍失败，放弃（配置可能有问题）", 15));
  EXPECT_TRUE(logInOrder({"内核意外退出（exit code 9）→ 自动重启内核 第 1/3 次",
                          "自动重启失败：kernel binary not found at: " + kernelPath(),
                          "内核意外退出（restart failed）→ 自动重启内核 第 2/3 次",
                          "自动重启失败：kernel binary not found at: ",
                          "内核意外退出（restart failed）→ 自动重启内核 第 3/3 次",
                          "自动重启失败：kernel binary not found at: ",
                          "自动重启：连续 3 次仍失败，放弃（配置可能有问题）"}));
  // Given up for good: nothing more is tried, a login finds no kernel meant to
  // run, and the status says stopped.
  writeFile(at("/run/systemd/sessions/1"), "");
  EXPECT_FALSE(waitLog("会话对账：内核在运行", 1.5));
  EXPECT_EQ(countLog("自动重启内核"), 3u);
  EXPECT_EQ(statusOf(client()), ProxyStatus::stoppedRecord());
  EXPECT_EQ(*client().reloadProxy(yamlConfig(7)), (OperationResult{false, "kernel not running"}));
  EXPECT_TRUE(*client().stopProxy());
  // With no kernel left, neither version request claims one.
  EXPECT_EQ(*client().getVersion(), "1.0.5");
  EXPECT_EQ(*client().getKernelVersion(), std::nullopt);
}

TEST_F(Supervision, RestartedDaemonReadoptsTheKernelWithoutCuttingItsConnections) {
  startDaemon();
  const uint16_t port = startKernel();
  const pid_t kernel = kernelPid();
  EchoServer echo;
  const int tunnel = socks5Tunnel(port, echo.port());
  ASSERT_TRUE(echoes(tunnel, "before"));

  killDaemon();
  EXPECT_TRUE(echoes(tunnel, "while the daemon is gone"));
  // The process table's search is slow from here on, and what it says on its
  // standard error is not a process number.
  const std::string pgrep = root() + "/usr/bin/pgrep";
  const auto realPgrep = std::filesystem::read_symlink(pgrep);
  std::filesystem::remove(pgrep);
  writeFile(pgrep, "#!/bin/sh\necho noise >&2\nsleep 1.5\nexec " + realPgrep.string() + " \"$@\"\n",
            0700);
  startDaemon();
  // The kernel reconnects by itself; a re-adopted kernel is not driven again.
  ASSERT_TRUE(waitLog("re-adopt: 内核已重连，恢复控制（跳过 init/setup）", 10));
  EXPECT_TRUE(statusOf(client()).isRunning);
  EXPECT_EQ(kernelPid(), kernel);
  // A kernel with no handle is looked for in the process table: a slow search
  // holds up only the request that needs it, not another connection.
  std::promise<bool> traffic;
  client().getTrafficStats([&](auto r) { traffic.set_value(r.ok()); });
  HelperClient other(socketPath());
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(other.getVersion().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
  EXPECT_TRUE(traffic.get_future().get());
  std::filesystem::remove(pgrep);
  std::filesystem::create_symlink(realPgrep, pgrep);
  EXPECT_TRUE(echoes(tunnel, "after"));
  EXPECT_TRUE(*client().setRouteMode("direct"));
  EXPECT_EQ(query("getConfig")["mode"], "direct");
  EXPECT_EQ(kernelReceived("initCore"), 1u);
  EXPECT_EQ(kernelReceived("setupConfig"), 1u);
  EXPECT_EQ(kernelReceived("startListener"), 1u);
  EXPECT_FALSE(echoes(tunnel, "old route"));  // cut by the mode change
  ::close(tunnel);

  // Its death is seen within the 3 s watch, though its number has gone to
  // another process; with no configuration in this daemon's memory, nothing
  // is relaunched.
  ASSERT_EQ(::kill(kernel, SIGKILL), 0);
  ASSERT_TRUE(
      eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(kernel)); }, 2));
  const auto namesake = childNumbered(kernel);
  ASSERT_NE(namesake, nullptr);
  EXPECT_TRUE(
      waitLog("re-adopt 看护：内核(pid " + std::to_string(kernel) + ")已退出 → 走自动重启", 5));
  EXPECT_TRUE(waitLog("自动重启：无内存配置，放弃", 2));
  EXPECT_FALSE(statusOf(client()).isRunning);
}

TEST_F(Supervision, AReplayBelongsToItsOwnLaunch) {
  startDaemon();
  ASSERT_NE(startKernel(), 0);
  ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
  // The first relaunch dies at once, so the second comes before the first
  // one's replay is due (1.0 s + the sweep < 1.5 s) and still runs when it is:
  // that replay must not count the second kernel as a recovery.
  const auto first = waitLog("自动重启：内核已重新拉起，回放运行时状态", 5, 1);
  ASSERT_TRUE(first && eventually([&] { return kernelPid() > 0; }, 1));
  ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
  ASSERT_TRUE(waitLog("自动重启：内核已重新拉起，回放运行时状态", 5, 2));
  std::this_thread::sleep_until(*first + std::chrono::milliseconds(1700));
  ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
  ASSERT_TRUE(waitLog("自动重启：内核已重新拉起，回放运行时状态", 5, 3));
  ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
  EXPECT_TRUE(waitLog("自动重启：连续 3 次仍失败，放弃（配置可能有问题）", 5));
  EXPECT_EQ(countLog("自动重启：模式/节点已回放"), 0u);
  EXPECT_EQ(countLog("自动重启内核 第 1/3 次"), 1u);
}

TEST_F(Supervision, AStopEndsAKernelThatNoLongerReadsWithinItsWaits) {
  startDaemon();
  const uint16_t port = startKernel();
  ASSERT_NE(port, 0);
  const pid_t kernel = kernelPid();
  ASSERT_EQ(::kill(kernel, SIGSTOP), 0);
  // A reload far larger than the socket buffers: its write cannot finish.
  // Ahead of its port, blank lines and a line without one: the port search
  // must get past them in linear time.
  auto reloaded = std::make_shared<std::promise<void>>();
  client().reloadProxy(std::string(8 << 20, '\n') + "#\n" + yamlConfig(port),
                       [reloaded](auto) { reloaded->set_value(); });
  // Until a daemon thread sits in that send (a bounded writer waits in poll
  // instead: give it 3 s to get there).
  const auto reloading = waitLog("Config updated in memory, re-applying via setupConfig...", 30);
  ASSERT_TRUE(reloading);
  eventually(
      [&] {
        const std::string tasks = "/proc/" + std::to_string(daemonPid()) + "/task";
        std::error_code ec;
        for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
          if (readFile(t.path() / "wchan") == "sock_alloc_send_pskb") return true;
        }
        return false;
      },
      3);
  HelperClient other(socketPath());
  const auto began = Clock::now();
  const auto stopped = other.stopProxy();
  const double took = secondsBetween(began, Clock::now());
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  // At most 0.2 s for the notice, 5 s for SIGTERM, then SIGKILL (and the
  // reload's own bounded write, 5 s, ahead of it).
  EXPECT_LT(took, 12.0);
  EXPECT_FALSE(processAlive(kernel));
  EXPECT_EQ(reloaded->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(Supervision, RepliesThroughTheMainQueueDoNotWaitForAStop) {
  startDaemon();
  ASSERT_NE(startKernel(), 0);
  const pid_t kernel = kernelPid();
  // A stale-kernel sweep that takes 4 s holds the stop (and the lifecycle)
  // that long after the kernel has gone.
  ASSERT_EQ(::unlink(at("/usr/bin/pkill").c_str()), 0);  // a link to the real one
  writeFile(at("/usr/bin/pkill"), "#!/bin/sh\nsleep 4\n", 0755);
  auto stopped = std::make_shared<std::promise<void>>();
  client().stopProxy([stopped](auto) { stopped->set_value(); });
  ASSERT_TRUE(eventually([&] { return !processAlive(kernel); }, 10));
  HelperClient other(socketPath());
  const auto began = Clock::now();
  EXPECT_TRUE(other.clearSystemProxy().ok());
  EXPECT_LT(secondsBetween(began, Clock::now()), 1.5);
  EXPECT_EQ(stopped->get_future().wait_for(std::chrono::seconds(15)), std::future_status::ready);
}

TEST_F(Supervision, ADanglingLinkAtThePreferredPathFallsThroughToTheInstalledKernel) {
  // The installed kernel is a script: it runs as "<interpreter> <path> <socket>".
  const std::string real = root() + "/real-core", installed = dataDir() + "/com.zelvo.svc.core";
  ASSERT_EQ(::rename(kernelPath().c_str(), real.c_str()), 0);
  writeFile(installed, "#!/bin/bash\nexec -a \"/usr/bin/python3 $0\" '" + real + "' \"$@\"\n",
            0755);
  ASSERT_EQ(::symlink((root() + "/nowhere").c_str(), kernelPath().c_str()), 0);
  startDaemon();
  EXPECT_EQ(*client().getKernelVersion(), std::optional<std::string>("zelvan-core"));
  ASSERT_NE(startKernel(), 0);
  // Found again by its command line, a path with a space in it.
  killDaemon();
  startDaemon();
  EXPECT_TRUE(waitLog("re-adopt: 内核已重连，恢复控制（跳过 init/setup）", 10));
}

// A process of real user `uid` that sleeps a minute under the name `argv0`,
// with effective user `euid` (0 for a set-user-ID program a user started).
pid_t lookalike(uid_t uid, uid_t euid, const std::string& argv0) {
  const pid_t pid = ::fork();
  if (pid == 0 && ::setgid(uid) == 0 && ::setresuid(uid, euid, euid) == 0) {
    ::execl("/bin/sleep", argv0.c_str(), "60", nullptr);
  }
  if (pid == 0) ::_exit(127);
  eventually([&] { return programOf(pid) == argv0; }, 5);
  return pid;
}

// Named like the kernel is not enough: a user's process at the kernel's path
// (set-user-ID root or not), ours at a longer or a near-miss path and another
// root's kernel are neither adopted at start nor killed by a start or a stop. The kernel's
// directories, left loose before the start, are the daemon's own after it, the log 0600.
TEST_F(Supervision, OnlyThisRootsKernelsOfTheDaemonsUserAreKernels) {
  const std::tuple<uid_t, uid_t, std::string> cases[] = {
      {65534, 65534, kernelPath()},
      {65534, 0, kernelPath()},
      {0, 0, kernelPath() + ".old"},
      {0, 0, "/usr/bin/less " + kernelPath()},
      {0, 0, "/srv/other-root" + kernelPath()},
      {0, 0, kernelPath().substr(0, kernelPath().size() - 5) + "-core"}};  // a dot is no wildcard
  std::vector<pid_t> pids;
  for (const auto& [uid, euid, argv0] : cases) pids.push_back(lookalike(uid, euid, argv0));
  const std::string work = dataDir() + "/work", klog = dataDir() + "/kernel.log";
  writeFile(work + "/planted", "");  // the kernel's to read as root, were it kept
  ASSERT_EQ(::mkfifo((dataDir() + "/proxy-users.new").c_str(), 0666), 0);  // would block a save
  writeFile(klog, "");
  ASSERT_EQ(::link(klog.c_str(), (root() + "/klog-link").c_str()), 0);  // the log, read elsewhere
  writeFile(dataDir() + "/proxy-users", "1000\n", 0664);  // root's, but another group may write it
  ASSERT_EQ(::chown((dataDir() + "/proxy-users").c_str(), 0, 65534), 0);
  ASSERT_EQ(::chown(work.c_str(), 65534, 65534), 0);
  using Modes = std::vector<std::pair<std::string, mode_t>>;
  for (const auto& [path, mode] : Modes{{dataDir(), 0775}, {work, 0777}, {klog, 0644}}) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  startDaemon();
  EXPECT_EQ(countLog("启动对账：无存活内核，残留已清理"), 1u);
  for (const char* gone : {"/proxy-users", "/proxy-users.new", "/work/planted"}) {
    EXPECT_FALSE(std::filesystem::exists(dataDir() + gone)) << gone;
  }
  EXPECT_EQ(statusOf(client()), ProxyStatus::stoppedRecord());
  ASSERT_NE(startKernel(), 0);
  ASSERT_TRUE(*client().stopProxy());
  EXPECT_EQ(readFile(root() + "/klog-link"), "");
  ASSERT_EQ(::chmod(klog.c_str(), 0644), 0);  // loosened since, in a directory no longer open
  ASSERT_NE(startKernel(), 0);
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(programOf(pids[i]), std::get<2>(cases[i]));
    ::kill(pids[i], SIGKILL);
    ::waitpid(pids[i], nullptr, 0);
  }
  for (const auto& [path, mode] : Modes{{dataDir(), 0755}, {work, 0700}, {klog, 0600}}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
    EXPECT_EQ(st.st_uid, 0u) << path;
  }
}

// A process of the daemon's own user that connects first is refused, and the
// kernel, which here waits for it, is driven as usual. A link planted where
// the kernel's log goes is not followed.
TEST_F(Supervision, OnlyTheLaunchedKernelMayHoldTheControlSocket) {
  const std::string real = root() + "/real-core", gate = root() + "/impostor-connected";
  ASSERT_EQ(::rename(kernelPath().c_str(), real.c_str()), 0);
  writeFile(kernelPath(),
            "#!/bin/bash\nuntil [ -e '" + gate + "' ]; do sleep 0.01; done\n" + "exec -a \"$0\" '" +
                real + "' \"$@\"\n",
            0755);
  std::filesystem::create_directories(dataDir());
  ASSERT_EQ(::symlink((root() + "/victim").c_str(), (dataDir() + "/kernel.log").c_str()), 0);
  startDaemon();
  sockaddr_un addr{AF_UNIX, {}};
  (dataDir() + "/work/control.sock").copy(addr.sun_path, sizeof addr.sun_path - 1);
  const pid_t impostor = ::fork();
  if (impostor == 0) {  // system calls only: the test process has threads
    // It comes back twice after its refusal, as a retrying child of a kernel would.
    for (int i = 0, refused = 0; i < 10000; ++i, ::usleep(1000)) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        char c;
        if (::read(fd, &c, 1) != 0) ::_exit(1);  // refused: closed without a word
        if (++refused == 3) ::_exit(::creat(gate.c_str(), 0600) < 0);
      }
      ::close(fd);
    }
    ::_exit(2);
  }
  ASSERT_NE(startKernel(), 0);
  int status = -1;
  EXPECT_TRUE(eventually([&] { return ::waitpid(impostor, &status, WNOHANG) == impostor; }, 10));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(countLog("control socket: refused peer pid " + std::to_string(impostor) +
                     " uid 0 (not the kernel)"),
            1u);
  EXPECT_TRUE(statusOf(client()).isRunning);
  ASSERT_TRUE(*client().setRouteMode("direct"));
  EXPECT_EQ(query("getConfig")["mode"], "direct");
  EXPECT_FALSE(std::filesystem::exists(root() + "/victim"));
}

// A data directory open to others is closed, and what another user put in it
// goes; a work directory that cannot be made private stops the daemon.
TEST_F(Supervision, AWorkDirectoryThatIsALinkStopsTheDaemon) {
  std::filesystem::create_directories(dataDir());
  ASSERT_EQ(::chmod(dataDir().c_str(), 0777), 0);
  const std::string planted = dataDir() + "/com.zelvo.svc.core";
  writeFile(planted, "#!/bin/sh\n", 0755);
  ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::symlink(root().c_str(), (dataDir() + "/work").c_str()), 0);
  const auto r = runProgram({ZELVO_HELPER_BIN, "--root", root()}, 10);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(planted));
  EXPECT_NE(r.err.find("Removed " + planted + " (uid 65534 mode 0755)"), std::string::npos);
  EXPECT_TRUE(r.err.ends_with("[Helper] Unsafe kernel directory: " + dataDir() +
                              "/work is a symbolic link\n"))
      << r.err;
}

}  // namespace
}  // namespace zelvo::testing
