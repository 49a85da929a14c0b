// The kernel's life under the daemon, as a client and the kernel itself see
// it: start, steer, reload and stop with the configuration kept off disk; the
// query whitelist and pushed delays; the relaunch and replay after a crash and
// their timing; the give-up after three attempts; re-adoption after a daemon
// restart without cutting connections.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>

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
  startDaemon();
  EXPECT_EQ(statusOf(client()), ProxyStatus::stoppedRecord());
  const std::string marker = uniqueMarker();
  const uint16_t port = startKernel(marker);
  ASSERT_NE(port, 0);
  const pid_t kernel = kernelPid();
  ASSERT_GT(kernel, 0);

  const ProxyStatus running = statusOf(client());
  EXPECT_TRUE(running.isRunning);
  EXPECT_EQ(running.httpPort, port);
  EXPECT_EQ(running.socksPort, port);
  EXPECT_EQ(running.mode, "rule");

  // The kernel is told to keep configuration text out of its log, and does.
  const std::string environ = readFile("/proc/" + std::to_string(kernel) + "/environ");
  EXPECT_NE(environ.find(std::string("\0ZELVAN_REDACT_LOG=1\0", 21)), std::string::npos);

  EchoServer echo;
  const int tunnel = socks5Tunnel(port, echo.port());
  EXPECT_TRUE(echoes(tunnel, "through the kernel"));
  ::close(tunnel);

  // Steering shows in the kernel's own view; a selection is mirrored into GLOBAL.
  ASSERT_TRUE(*client().selectOutbound("Proxy", "node-b"));
  ASSERT_TRUE(*client().setRouteMode("global"));
  ASSERT_TRUE(*client().updateTun(true));
  EXPECT_FALSE(*client().selectOutbound("Proxy", "no-such-node"));
  const Json proxies = query("getProxies")["proxies"];
  EXPECT_EQ(proxies["Proxy"]["now"], "node-b") << proxies.dump();
  EXPECT_EQ(proxies["GLOBAL"]["now"], "node-b") << proxies.dump();
  const Json config = query("getConfig");
  EXPECT_EQ(config["mode"], "global") << config.dump();
  EXPECT_EQ(config["tun"]["enable"], true) << config.dump();

  const std::string reloadMarker = uniqueMarker();
  const auto reloaded = client().reloadProxy(yamlConfig(port, reloadMarker));
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(*reloaded, (OperationResult{true, std::nullopt}));

  ASSERT_TRUE(*client().stopProxy());
  EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 10));
  EXPECT_EQ(statusOf(client()), ProxyStatus::stoppedRecord());
  EXPECT_EQ(*client().getTrafficStats(), TrafficStats{});
  for (const auto& m : {marker, reloadMarker}) EXPECT_EQ(filesContaining(root(), m), Args{});
  EXPECT_TRUE(logInOrder(
      {"Config held in memory (", "kernel started with PID: ", "Proxy started successfully",
       "Proxy reloaded successfully", "Stopping kernel...", "Proxy stopped successfully"}));
}

TEST_F(Supervision, OnlyWhitelistedQueriesReachTheKernelAndPushedDelaysAreCollected) {
  startDaemon();
  EXPECT_EQ(*client().kernelQuery("getProxies", ""), std::nullopt);  // no kernel yet
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
  EXPECT_GT(kernelPid(), 0);

  ASSERT_TRUE(query("asyncTestDelay", "{}").is_object());
  Json delays;
  EXPECT_TRUE(eventually(
      [&] {
        delays = query("__pushedDelays");
        return delays.is_object() && delays.contains("node-a") && delays.contains("node-b");
      },
      10));
  EXPECT_TRUE(delays.is_object() && delays["node-a"].is_number()) << delays.dump();
}

TEST_F(Supervision, CrashedKernelIsRelaunchedAfterOneSecondAndReplayedAfterOneAndAHalf) {
  startDaemon();
  ASSERT_NE(startKernel(), 0);
  ASSERT_TRUE(*client().setRouteMode("global"));
  ASSERT_TRUE(*client().selectOutbound("Proxy", "node-b"));
  const pid_t old = kernelPid();
  ASSERT_GT(old, 0);

  for (int round = 1; round <= 2; ++round) {
    ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
    // The replay resets the attempt counter: every crash starts again at 1/3.
    const auto noticed = waitLog("内核意外退出（exit code 9）→ 自动重启内核 第 1/3 次", 5, round);
    const auto relaunched = waitLog("自动重启：内核已重新拉起，回放运行时状态", 5, round);
    const auto replayed = waitLog("自动重启：模式/节点已回放，连接恢复", 8, round);
    ASSERT_TRUE(noticed && relaunched && replayed);
    const double toRelaunch = secondsBetween(*noticed, *relaunched);
    const double toReplay = secondsBetween(*relaunched, *replayed);
    std::cout << "relaunched " << toRelaunch << " s after the exit, replayed " << toReplay
              << " s after the relaunch\n";
    // 1.0 s, then the stale-kernel sweep (0.4 s grace) before the launch.
    EXPECT_GE(toRelaunch, 1.0);
    EXPECT_LE(toRelaunch, 2.1);
    // 1.5 s, then three quick round trips to the kernel.
    EXPECT_GE(toReplay, 1.45);
    EXPECT_LE(toReplay, 2.4);
    ASSERT_GT(kernelPid(), 0);
    EXPECT_NE(kernelPid(), old);
    EXPECT_EQ(query("getConfig")["mode"], "global");
    EXPECT_EQ(query("getProxies")["proxies"]["Proxy"]["now"], "node-b");
  }
  EXPECT_EQ(countLog("第 2/3 次"), 0u);
  EXPECT_TRUE(statusOf(client()).isRunning);
}

TEST_F(Supervision, RelaunchesThatKeepFailingGiveUpAfterThree) {
  startDaemon();
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
  // Given up for good: nothing more is tried, and the status says stopped.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(countLog("自动重启内核"), 3u);
  EXPECT_EQ(statusOf(client()), ProxyStatus::stoppedRecord());
  EXPECT_TRUE(*client().stopProxy());
}

TEST_F(Supervision, RestartedDaemonReadoptsTheKernelWithoutCuttingItsConnections) {
  startDaemon();
  const uint16_t port = startKernel();
  ASSERT_NE(port, 0);
  const pid_t kernel = kernelPid();
  EchoServer echo;
  const int tunnel = socks5Tunnel(port, echo.port());
  ASSERT_TRUE(echoes(tunnel, "before"));

  killDaemon();
  EXPECT_TRUE(echoes(tunnel, "while the daemon is gone"));
  startDaemon();
  // The kernel reconnects by itself; a re-adopted kernel is not driven again.
  ASSERT_TRUE(waitLog("re-adopt: 内核已重连，恢复控制（跳过 init/setup）", 10));
  EXPECT_TRUE(statusOf(client()).isRunning);
  EXPECT_EQ(kernelPid(), kernel);
  EXPECT_TRUE(echoes(tunnel, "after"));
  EXPECT_TRUE(*client().setRouteMode("direct"));
  EXPECT_EQ(query("getConfig")["mode"], "direct");
  EXPECT_EQ(kernelReceived("initCore"), 1u);
  EXPECT_EQ(kernelReceived("setupConfig"), 1u);
  EXPECT_EQ(kernelReceived("startListener"), 1u);
  ::close(tunnel);

  ASSERT_TRUE(*client().stopProxy());
  EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 10));
}

}  // namespace
}  // namespace zelvo::testing
