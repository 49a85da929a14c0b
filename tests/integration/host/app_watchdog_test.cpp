// The client-app watchdog against the real daemon and kernel: the client is a
// `zelvoctl watch` process, killed (and left unreaped, as a crashed app whose
// parent has not collected it yet).
#include "support/host_test_support.h"

namespace zelvo::testing::host {
namespace {

class AppWatchdogTest : public HostTest {
 protected:
  // Starts `zelvoctl watch` and waits until the daemon has accepted it.
  std::unique_ptr<Child> startWatcher() {
    auto watcher = std::make_unique<Child>(Args{ZELVOCTL_BIN, "--root", root_.path(), "watch"},
                                           root_.at("/watch.out"));
    const std::string accepted =
        "Accepted new connection (client pid=" + std::to_string(watcher->pid()) + ")";
    EXPECT_TRUE(daemon_->waitForLog(accepted, std::chrono::seconds(20)));
    EXPECT_TRUE(eventually(
        [&] {
          return readFile(root_.at("/watch.out")).find("watching: connected") != std::string::npos;
        },
        10.0));
    return watcher;
  }
};

TEST_F(AppWatchdogTest, VanishedClientWhileKernelRunsIsTornDownExactlyOnce) {
  setServices(root_, "Wi-Fi\nEthernet\n");
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  auto set = client_->setSystemProxy("127.0.0.1", 7890, 7890);
  ASSERT_TRUE(set.ok() && *set);

  auto watcher = startWatcher();
  const pid_t pid = watcher->pid();
  clearCalls(root_);
  const std::string gone =
      "看门狗：主程序(pid " + std::to_string(pid) + ")已消失（崩溃/强杀）→ 停内核 + 清系统代理/TUN";
  const std::string done =
      "看门狗：已因主程序(pid " + std::to_string(pid) + ")消失完成兜底拆除，系统恢复直连";

  const auto killedAt = Clock::now();
  watcher->kill(SIGKILL);  // not reaped: a zombie until the test ends
  const auto noticed = whenLogged(*daemon_, gone, 1, 15.0);
  ASSERT_TRUE(noticed.has_value());
  // The next tick comes at most one interval later.
  EXPECT_LT(secondsBetween(killedAt, *noticed), 4.0 + 1.0);
  ASSERT_TRUE(whenLogged(*daemon_, done, 1, 20.0).has_value());

  const auto lines = daemon_->logLines();
  const size_t first = lineIndex(lines, gone);
  const size_t stopped = lineIndex(lines, "kernel stopped", first);
  const size_t cleared =
      lineIndex(lines, "configureSystemProxy: enable=false, host=, http=0, socks=0", first);
  const size_t last = lineIndex(lines, done);
  EXPECT_LT(first, stopped);
  EXPECT_LT(stopped, cleared);
  EXPECT_LT(cleared, last);
  EXPECT_LT(last, lines.size());

  EXPECT_FALSE(processAlive(kernel));
  EXPECT_TRUE(kernelPids(root_).empty());
  EXPECT_EQ(settingCalls(root_), offCommands({"Wi-Fi", "Ethernet"}));
  for (const char* kind : {"web", "secureweb", "socks"}) {
    EXPECT_FALSE(proxyEnabled(root_, "Wi-Fi", kind));
    EXPECT_FALSE(proxyEnabled(root_, "Ethernet", kind));
  }
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->isRunning);

  // Later ticks find nothing to do.
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  EXPECT_EQ(daemon_->countLog("看门狗："), 2u);
  EXPECT_EQ(settingCalls(root_).size(), 6u);
}

TEST_F(AppWatchdogTest, VanishedClientWithoutAKernelCausesNothing) {
  setServices(root_, "Wi-Fi\n");
  startDaemon();
  auto watcher = startWatcher();
  EXPECT_EQ(daemon_->countLog("主程序看门狗已启动"), 1u);
  clearCalls(root_);
  watcher->kill(SIGKILL);
  watcher->reap();
  // Longer than one interval: at least one tick has seen the client gone.
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  EXPECT_EQ(daemon_->countLog("看门狗："), 0u);
  EXPECT_TRUE(callsOf(root_, "networksetup").empty());
}

}  // namespace
}  // namespace zelvo::testing::host
