// Automatic restart of a kernel that dies while the client wants it running:
// the relaunch 1.0 s after the exit, the replay of mode and selections 1.5 s
// after the relaunch, and the bound of three consecutive attempts.
#include <signal.h>

#include <iostream>

#include "support/supervision_support.h"

namespace zelvo::testing::supervision {
namespace {

using AutoRestartTest = SupervisionTest;

TEST_F(AutoRestartTest, KilledKernelIsRelaunchedAndItsModeAndSelectionsReplayed) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  auto mode = client_->setRouteMode("global");
  ASSERT_TRUE(mode.ok());
  ASSERT_TRUE(*mode);
  auto selected = client_->selectOutbound("Proxy", "node-b");
  ASSERT_TRUE(selected.ok());
  ASSERT_TRUE(*selected);
  const pid_t oldKernel = onlyKernelPid(root_);
  ASSERT_GT(oldKernel, 0);
  const size_t changesBefore = kernelReceived(root_, "changeProxy");
  const size_t updatesBefore = kernelReceived(root_, "updateConfig");

  const auto killed = Clock::now();
  ASSERT_EQ(::kill(oldKernel, SIGKILL), 0);
  const auto noticed =
      whenLogged(*daemon_, "内核意外退出（exit code 9）→ 自动重启内核 第 1/3 次", 1, 10.0);
  ASSERT_TRUE(noticed);
  EXPECT_EQ(daemon_->countLog("kernel terminated with exit code: 9"), 1u);
  const auto relaunched = whenLogged(*daemon_, "kernel started with PID", 2, 10.0);
  const auto restarted = whenLogged(*daemon_, "自动重启：内核已重新拉起，回放运行时状态", 1, 10.0);
  const auto replayed = whenLogged(*daemon_, "自动重启：模式/节点已回放，连接恢复", 1, 15.0);
  ASSERT_TRUE(relaunched && restarted && replayed);

  std::cout << "exit noticed after " << secondsBetween(killed, *noticed) << " s, relaunched "
            << secondsBetween(*noticed, *relaunched) << " s later, replayed "
            << secondsBetween(*restarted, *replayed) << " s after the relaunch\n";
  EXPECT_LT(secondsBetween(killed, *noticed), 2.0);
  // 1.0 s delay, then the launch's pkill with its 0.4 s grace.
  EXPECT_GE(secondsBetween(*noticed, *relaunched), 1.3);
  EXPECT_LE(secondsBetween(*noticed, *relaunched), 3.5);
  // 1.5 s delay, then three quick round trips to the kernel.
  EXPECT_GE(secondsBetween(*restarted, *replayed), 1.4);
  EXPECT_LE(secondsBetween(*restarted, *replayed), 4.0);

  // The new kernel runs the replayed state, read from the kernel itself.
  const pid_t newKernel = onlyKernelPid(root_);
  ASSERT_GT(newKernel, 0);
  EXPECT_NE(newKernel, oldKernel);
  EXPECT_EQ(queryJson("getConfig")["mode"], "global");
  const Json proxies = queryJson("getProxies")["proxies"];
  EXPECT_EQ(proxies["Proxy"]["now"], "node-b") << proxies.dump();
  EXPECT_EQ(proxies["GLOBAL"]["now"], "node-b") << proxies.dump();
  // One mode update and one selection per recorded group (Proxy, GLOBAL).
  EXPECT_EQ(kernelReceived(root_, "updateConfig"), updatesBefore + 1);
  EXPECT_EQ(kernelReceived(root_, "changeProxy"), changesBefore + 2);
  EXPECT_EQ(kernelReceived(root_, "closeConnections"), 3u);  // select, mode, replay
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);

  // The replay reset the attempt counter: the next death starts again at 1/3.
  ASSERT_EQ(::kill(newKernel, SIGKILL), 0);
  EXPECT_TRUE(whenLogged(*daemon_, "内核意外退出（exit code 9）→ 自动重启内核 第 1/3 次", 2, 10.0));
  EXPECT_TRUE(whenLogged(*daemon_, "自动重启：模式/节点已回放，连接恢复", 2, 15.0));
  EXPECT_EQ(daemon_->countLog("第 2/3 次"), 0u);
  EXPECT_EQ(queryJson("getConfig")["mode"], "global");
}

// With the executable gone every relaunch fails at once; three attempts,
// one second apart, then the give-up line and nothing more.
TEST_F(AutoRestartTest, GivesUpAfterThreeFailedRelaunches) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  root_.removeKernel();
  ASSERT_EQ(::kill(kernel, SIGKILL), 0);

  const auto first = whenLogged(*daemon_, "第 1/3 次", 1, 10.0);
  const auto gaveUp =
      whenLogged(*daemon_, "自动重启：连续 3 次仍失败，放弃（配置可能有问题）", 1, 15.0);
  ASSERT_TRUE(first && gaveUp);
  EXPECT_GE(secondsBetween(*first, *gaveUp), 2.8);
  EXPECT_LE(secondsBetween(*first, *gaveUp), 6.0);
  const std::string missing = "自动重启失败：kernel binary not found at: " + root_.kernelPath();
  EXPECT_EQ(daemon_->countLog(missing), 3u);
  EXPECT_EQ(daemon_->countLog("内核意外退出（exit code 9）→ 自动重启内核 第 1/3 次"), 1u);
  EXPECT_EQ(daemon_->countLog("内核意外退出（restart failed）→ 自动重启内核 第 2/3 次"), 1u);
  EXPECT_EQ(daemon_->countLog("内核意外退出（restart failed）→ 自动重启内核 第 3/3 次"), 1u);

  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(daemon_->countLog("自动重启内核"), 3u);
  EXPECT_EQ(daemon_->countLog("放弃（配置可能有问题）"), 1u);
  EXPECT_EQ(daemon_->countLog("kernel started with PID"), 1u);
  EXPECT_TRUE(kernelPids(root_).empty());

  // Dead and not coming back: the status says so, and asks the kernel nothing.
  const size_t trafficAsked = daemon_->countLog("→ getTotalTraffic");
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
  auto traffic = client_->getTrafficStats();
  ASSERT_TRUE(traffic.ok());
  EXPECT_EQ(*traffic, TrafficStats{});
  EXPECT_EQ(daemon_->countLog("→ getTotalTraffic"), trafficAsked);
  // A stop after giving up still succeeds.
  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  EXPECT_EQ(daemon_->countLog("no tracked kernel; will still kill any orphan"), 1u);
}

// A kernel that exits at once fails the start's 1 s check; the automatic
// restart still follows (the client wants it running) until the client stops.
TEST_F(AutoRestartTest, KernelThatExitsAtOnceFailsTheStartUntilStopped) {
  startDaemon({{"ZELVAN_EXIT_CODE", "3"}});
  auto started = client_->startProxy(yamlConfig(freePort()));
  ASSERT_TRUE(started.ok());
  EXPECT_EQ(*started, (OperationResult{false, std::string("内核 process exited immediately")}));
  EXPECT_EQ(daemon_->countLog("内核 process exited immediately"), 1u);
  EXPECT_GE(daemon_->countLog("kernel terminated with exit code: 3"), 1u);
  EXPECT_TRUE(whenLogged(*daemon_, "内核意外退出（exit code 3）→ 自动重启内核 第 1/3 次", 1, 5.0));

  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  const size_t launches = daemon_->countLog("kernel started with PID");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(daemon_->countLog("kernel started with PID"), launches);
  EXPECT_TRUE(kernelPids(root_).empty());
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
}

}  // namespace
}  // namespace zelvo::testing::supervision
