// The kernel's lifecycle through the real daemon: start, configuration kept
// off the disk, reload, stop (cooperative and forced), and a start that
// replaces a running kernel.
#include <signal.h>

#include <iostream>

#include "support/supervision_support.h"

namespace zelvo::testing::supervision {
namespace {

using LifecycleTest = SupervisionTest;

// Every file under the root, the kernel's log and the daemon's own output
// included, is free of configuration text at every step of a kernel's life.
TEST_F(LifecycleTest, StartReloadRestartStopKeepConfigurationOffDisk) {
  startDaemon();
  const uint16_t port = freePort();
  const std::string marker = uniqueMarker();
  const std::string config = yamlConfig(port, marker);

  const auto called = Clock::now();
  auto started = client_->startProxy(config);
  const double startSeconds = secondsSince(called);
  std::cout << "start replied after " << startSeconds << " s\n";
  ASSERT_TRUE(started.ok()) << started.error->localizedDescription();
  EXPECT_EQ(*started, (OperationResult{true, std::nullopt}));
  // The reply waits 1.0 s after the launch to see the kernel still alive;
  // the launch itself runs pgrep and pkill (plus its 0.4 s grace) first.
  EXPECT_GE(startSeconds, 1.0);
  EXPECT_LE(startSeconds, 4.0);
  EXPECT_EQ(daemon_->countLog("Config held in memory (" + std::to_string(config.size()) +
                              " bytes), not written to disk"),
            1u);
  EXPECT_EQ(daemon_->countLog("startProxy called with config length: " +
                              std::to_string(config.size() - std::string("机密").size() + 2)),
            1u);

  // The configuration reaches the kernel over the control socket only.
  ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", 1, 20.0));
  Json kernelConfig = queryJson("getConfig");
  ASSERT_TRUE(kernelConfig.is_object()) << kernelConfig.dump();
  EXPECT_EQ(kernelConfig["mixed-port"], port);
  EXPECT_EQ(kernelConfig["listening"], Json::array({port}));
  EXPECT_EQ(kernelReceived(root_, "initCore"), 1u);
  EXPECT_EQ(kernelReceived(root_, "setupConfig"), 1u);
  EXPECT_EQ(kernelReceived(root_, "startListener"), 1u);
  EXPECT_NE(readFile(kernelLogPath(root_))
                .find("setupConfig: configuration of " + std::to_string(config.size()) +
                      " bytes applied"),
            std::string::npos);
  EXPECT_GT(regularFileCount(root_.path()), 2u);  // the scan below really sees files
  EXPECT_EQ(filesContaining(root_.path(), marker), std::vector<std::string>{}) << "after start";

  // Reload: the running kernel gets the new text, without a restart.
  const pid_t firstKernel = onlyKernelPid(root_);
  ASSERT_GT(firstKernel, 0);
  const uint16_t port2 = freePort();
  const std::string marker2 = uniqueMarker();
  auto reloaded = client_->reloadProxy(yamlConfig(port2, marker2));
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(*reloaded, (OperationResult{true, std::nullopt}));
  EXPECT_EQ(daemon_->countLog("Config updated in memory, re-applying via setupConfig..."), 1u);
  ASSERT_TRUE(eventually([&] { return kernelReceived(root_, "setupConfig") == 2; }, 10.0));
  EXPECT_TRUE(eventually(
      [&] { return queryJson("getConfig")["listening"] == Json::array({port2}); }, 10.0));
  EXPECT_EQ(onlyKernelPid(root_), firstKernel);
  EXPECT_EQ(kernelReceived(root_, "initCore"), 1u);
  for (const auto& m : {marker, marker2}) {
    EXPECT_EQ(filesContaining(root_.path(), m), std::vector<std::string>{}) << "after reload";
  }

  // An automatic restart hands the held configuration to the new kernel.
  ASSERT_EQ(::kill(firstKernel, SIGKILL), 0);
  ASSERT_TRUE(whenLogged(*daemon_, "自动重启：模式/节点已回放，连接恢复", 1, 20.0));
  ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", 2, 20.0));
  EXPECT_TRUE(eventually(
      [&] { return queryJson("getConfig")["listening"] == Json::array({port2}); }, 10.0));
  for (const auto& m : {marker, marker2}) {
    EXPECT_EQ(filesContaining(root_.path(), m), std::vector<std::string>{}) << "after restart";
  }

  // A cooperative stop: the shutdown notice ends the kernel at once.
  const pid_t secondKernel = onlyKernelPid(root_);
  ASSERT_GT(secondKernel, 0);
  const auto stopCalled = Clock::now();
  auto stopped = client_->stopProxy();
  const double stopSeconds = secondsSince(stopCalled);
  std::cout << "cooperative stop took " << stopSeconds << " s\n";
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  EXPECT_LT(stopSeconds, 3.0);  // 0.2 s after the notice, then pkill and its 0.4 s
  EXPECT_EQ(daemon_->countLog("→ shutdown (no-wait)"), 1u);
  EXPECT_EQ(daemon_->countLog("Force killing kernel..."), 0u);
  EXPECT_EQ(daemon_->countLog("kernel stopped"), 1u);
  EXPECT_EQ(daemon_->countLog("Proxy stopped successfully"), 1u);
  EXPECT_EQ(kernelReceived(root_, "shutdown"), 1u);
  EXPECT_FALSE(processAlive(secondKernel));
  // Its exit is no reason to restart.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(daemon_->countLog("自动重启内核"), 1u);
  EXPECT_TRUE(kernelPids(root_).empty());
  for (const auto& m : {marker, marker2}) {
    EXPECT_EQ(filesContaining(root_.path(), m), std::vector<std::string>{}) << "after stop";
  }
  EXPECT_FALSE(std::filesystem::exists(dataDir(root_) + "/work/config.yaml"));
  EXPECT_FALSE(std::filesystem::exists(dataDir(root_) + "/work/control.sock"));
}

// A kernel that ignores SIGTERM and never connects (so no shutdown notice can
// reach it) is killed 5 s after the SIGTERM.
TEST_F(LifecycleTest, StopForceKillsKernelThatIgnoresSigterm) {
  startDaemon({{"ZELVAN_IGNORE_SIGTERM", "1"}, {"ZELVAN_NO_CONNECT", "1"}});
  auto started = client_->startProxy(yamlConfig(freePort()));
  ASSERT_TRUE(started.ok());
  ASSERT_TRUE(started->success) << started->message.value_or("");
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);

  const auto stopCalled = Clock::now();
  auto stopped = client_->stopProxy();
  const double stopSeconds = secondsSince(stopCalled);
  std::cout << "forced stop took " << stopSeconds << " s\n";
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  EXPECT_GE(stopSeconds, 5.0);
  EXPECT_LE(stopSeconds, 7.5);
  EXPECT_EQ(daemon_->countLog("Stopping kernel..."), 1u);
  EXPECT_EQ(daemon_->countLog("Force killing kernel..."), 1u);
  EXPECT_EQ(daemon_->countLog("→ shutdown"), 0u);  // never connected: nothing to send on
  EXPECT_FALSE(processAlive(kernel));
  EXPECT_TRUE(whenLogged(*daemon_, "kernel terminated with exit code: 9", 1, 5.0));
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->isRunning);
}

// A start while a kernel runs replaces it; the old kernel's exit is not
// mistaken for the new one's.
TEST_F(LifecycleTest, StartReplacesRunningKernel) {
  startDaemon();
  const uint16_t port1 = freePort();
  startKernel(yamlConfig(port1));
  const pid_t oldKernel = onlyKernelPid(root_);
  ASSERT_GT(oldKernel, 0);

  const uint16_t port2 = freePort();
  auto replaced = client_->startProxy(yamlConfig(port2));
  ASSERT_TRUE(replaced.ok());
  EXPECT_EQ(*replaced, (OperationResult{true, std::nullopt}));
  EXPECT_EQ(daemon_->countLog("start: 已有内核/残留在跑 → 先停后用新配置重起"), 1u);
  EXPECT_FALSE(processAlive(oldKernel));
  ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", 2, 20.0));
  const pid_t newKernel = onlyKernelPid(root_);
  ASSERT_GT(newKernel, 0);
  EXPECT_NE(newKernel, oldKernel);
  EXPECT_EQ(queryJson("getConfig")["listening"], Json::array({port2}));

  // Well past the 1.0 s restart delay: the old kernel's exit restarted
  // nothing and cleaned nothing up.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(daemon_->countLog("自动重启内核"), 0u);
  EXPECT_EQ(daemon_->countLog("kernel started with PID"), 2u);
  EXPECT_TRUE(processAlive(newKernel));
  EXPECT_EQ(kernelPids(root_), std::vector<pid_t>{newKernel});
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  EXPECT_EQ(s->httpPort, port2);
  // The control channel belongs to the new kernel.
  EXPECT_TRUE(queryJson("getProxies")["proxies"].contains("node-a"));
  auto mode = client_->setRouteMode("global");
  ASSERT_TRUE(mode.ok());
  EXPECT_TRUE(*mode);
  EXPECT_EQ(queryJson("getConfig")["mode"], "global");
}

// A stop and a start sent together: the stopped kernel's exit notice may
// reach the daemon after the start has launched the next kernel. It must not
// clean up or restart that one.
TEST_F(LifecycleTest, ExitNoticeOfStoppedKernelNeverTouchesItsSuccessor) {
  startDaemon();
  auto other = root_.client();
  const uint16_t port = freePort();
  startKernel(yamlConfig(port));
  for (int round = 1; round <= 3; ++round) {
    std::optional<Result<bool>> stopped;
    std::thread stopper([&] { stopped = other->stopProxy(); });
    // The start goes out while the stop is under way, so that both its work
    // and the stopped kernel's exit notice wait for the stop to finish.
    ASSERT_TRUE(whenLogged(*daemon_, "Stopping kernel...", round, 10.0));
    auto started = client_->startProxy(yamlConfig(port));
    stopper.join();
    ASSERT_TRUE(stopped && stopped->ok());
    EXPECT_TRUE(**stopped);
    ASSERT_TRUE(started.ok());
    ASSERT_TRUE(started->success) << started->message.value_or("");
    ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", round + 1, 20.0)) << "round " << round;
    const pid_t kernel = onlyKernelPid(root_);
    ASSERT_GT(kernel, 0) << "round " << round;

    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(daemon_->countLog("自动重启内核"), 0u) << "round " << round;
    EXPECT_EQ(daemon_->countLog("kernel started with PID"), static_cast<size_t>(round + 1));
    EXPECT_EQ(kernelPids(root_), std::vector<pid_t>{kernel}) << "round " << round;
    auto s = status();
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->isRunning) << "round " << round;
    EXPECT_EQ(queryJson("getConfig")["listening"], Json::array({port})) << "round " << round;
  }
  EXPECT_EQ(daemon_->countLog("kernel terminated with exit code: 0"), 3u);
}

}  // namespace
}  // namespace zelvo::testing::supervision
