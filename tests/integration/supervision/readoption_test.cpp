// Re-adoption: a daemon that dies and starts again takes over the kernel that
// survived it, without cutting the user's connections and without driving
// the kernel through its start-up again; and it notices when the adopted
// kernel dies.
#include <signal.h>

#include <iostream>

#include "support/supervision_support.h"

namespace zelvo::testing::supervision {
namespace {

using ReadoptionTest = SupervisionTest;

TEST_F(ReadoptionTest, RestartedDaemonAdoptsKernelWithoutCuttingConnections) {
  startDaemon();
  const uint16_t port = freePort();
  startKernel(yamlConfig(port));
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);

  EchoServer echo;
  const int tunnel = socks5Connect(port, echo.port());
  ASSERT_GE(tunnel, 0);
  EchoStream stream(tunnel);
  ASSERT_TRUE(stream.advances(10, 10.0)) << stream.failure();

  daemon_->kill9();
  // The kernel carries the connection while no daemon exists at all.
  ASSERT_TRUE(stream.advances(10, 10.0)) << stream.failure();
  EXPECT_TRUE(processAlive(kernel));

  daemon_->start();
  ASSERT_TRUE(whenLogged(*daemon_, "re-adopt: 控制 socket 已重建，等待内核重连…", 1, 10.0));
  ASSERT_TRUE(whenLogged(*daemon_, "re-adopt: 内核已重连，恢复控制（跳过 init/setup）", 1, 10.0));
  EXPECT_EQ(daemon_->countLog("启动对账：重接管存活内核，连接保持（未断网）"), 1u);
  EXPECT_EQ(daemon_->countLog("kernel started with PID"), 0u);
  ASSERT_TRUE(stream.advances(25, 10.0)) << stream.failure();

  // Control is back: a status answer from the kernel, a query, a selection.
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  EXPECT_GT(s->uplink, 0);
  EXPECT_GT(s->downlink, 0);
  EXPECT_EQ(queryJson("getConfig")["listening"], Json::array({port}));
  auto selected = client_->selectOutbound("Proxy", "node-b");
  ASSERT_TRUE(selected.ok());
  EXPECT_TRUE(*selected);
  EXPECT_EQ(queryJson("getProxies")["proxies"]["Proxy"]["now"], "node-b");
  // The selection closed the kernel's connections, ours included; until then
  // not one byte was lost. The adopted kernel was never driven again.
  EXPECT_EQ(kernelReceived(root_, "initCore"), 1u);
  EXPECT_EQ(kernelReceived(root_, "setupConfig"), 1u);
  EXPECT_EQ(kernelReceived(root_, "startListener"), 1u);
  EXPECT_EQ(onlyKernelPid(root_), kernel);
}

TEST_F(ReadoptionTest, AdoptedKernelKilledFromOutsideIsNoticedWithinThreeSeconds) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);

  daemon_->restart();
  ASSERT_TRUE(whenLogged(*daemon_, "re-adopt: 内核已重连，恢复控制（跳过 init/setup）", 1, 10.0));
  // Let the liveness check tick at least once while the kernel lives.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(daemon_->countLog("re-adopt 看护"), 0u);

  const auto killed = Clock::now();
  ASSERT_EQ(::kill(kernel, SIGKILL), 0);
  const auto noticed = whenLogged(
      *daemon_, "re-adopt 看护：内核(pid " + std::to_string(kernel) + ")已退出 → 走自动重启", 1,
      8.0);
  ASSERT_TRUE(noticed);
  std::cout << "adopted kernel's death noticed after " << secondsBetween(killed, *noticed)
            << " s\n";
  EXPECT_LE(secondsBetween(killed, *noticed), 3.5);
  // The restarted daemon holds no configuration, so nothing can be relaunched.
  EXPECT_TRUE(whenLogged(*daemon_, "自动重启：无内存配置，放弃", 1, 5.0));
  EXPECT_EQ(daemon_->countLog("kernel started with PID"), 0u);
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->isRunning);

  // The client can start afresh.
  startKernel(yamlConfig(freePort()));
  s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
}

// A new start while the restarted daemon still waits for the old kernel to
// reconnect takes over; the waiting adoption gives up without touching the
// new kernel.
TEST_F(ReadoptionTest, StartWhileWaitingForReconnectionTakesOver) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const pid_t oldKernel = onlyKernelPid(root_);
  ASSERT_GT(oldKernel, 0);
  daemon_->kill9();
  // Hold the kernel still, so that it cannot reconnect before the start.
  ASSERT_EQ(::kill(oldKernel, SIGSTOP), 0);
  daemon_->start();
  ASSERT_TRUE(whenLogged(*daemon_, "re-adopt: 控制 socket 已重建，等待内核重连…", 1, 10.0));
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);  // waiting for reconnection already counts as running

  const uint16_t port = freePort();
  auto started = client_->startProxy(yamlConfig(port));
  ::kill(oldKernel, SIGCONT);  // lets the pkill's SIGTERM take effect
  ASSERT_TRUE(started.ok());
  EXPECT_EQ(*started, (OperationResult{true, std::nullopt}));
  EXPECT_TRUE(whenLogged(*daemon_, "re-adopt: 已被自愈接管，放弃", 1, 10.0));
  ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", 1, 20.0));
  EXPECT_TRUE(eventually([&] { return !processAlive(oldKernel); }, 5.0));
  EXPECT_EQ(daemon_->countLog("re-adopt: accept 失败"), 0u);
  EXPECT_EQ(queryJson("getConfig")["listening"], Json::array({port}));
  s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  EXPECT_EQ(s->httpPort, port);
}

}  // namespace
}  // namespace zelvo::testing::supervision
