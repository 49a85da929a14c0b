// Launch reconciliation on each of its paths, with the real daemon starting
// over a root that an earlier run (or the test) left in a given state.
#include <filesystem>

#include "support/host_test_support.h"

namespace zelvo::testing::host {
namespace {

namespace fs = std::filesystem;

class LaunchReconciliationTest : public HostTest {
 protected:
  std::string workDir() const { return dataDir(root_) + "/work"; }

  // A configuration file left on disk by an earlier run.
  void leaveStaleConfig() { writeText(workDir() + "/config.yaml", "mixed-port: 1\n"); }

  void presetAllKinds(const std::string& service, const std::string& server) {
    for (const char* kind : {"web", "secureweb", "socks"}) {
      presetProxy(root_, service, kind, true, server, "7890");
    }
  }

  // A process whose command line holds the kernel's name, so the daemon's
  // pgrep/pkill take it for a kernel: a copy of sleep inside this root.
  std::unique_ptr<Child> startFakeKernel() {
    const std::string dir = root_.at("/opt/fake");
    fs::create_directories(dir);
    const std::string path = dir + "/com.zelvo.svc.core";
    fs::copy_file("/bin/sleep", path);
    return std::make_unique<Child>(Args{path, "300"});
  }

  // Leaves the control socket's path unusable: a non-empty directory there
  // can be neither unlinked nor bound.
  void blockControlSocketPath() {
    fs::create_directories(workDir() + "/control.sock");
    writeText(workDir() + "/control.sock/keep", "");
  }

  // The reconciliation's own lines ("启动对账：...") in the current run.
  std::vector<std::string> reconciliationLines() const {
    std::vector<std::string> out;
    for (const auto& line : daemon_->logLines()) {
      if (line.find("启动对账：") != std::string::npos) out.push_back(line);
    }
    return out;
  }
};

TEST_F(LaunchReconciliationTest, NoKernelAndNoStaleProxyOnlyWipesTheConfiguration) {
  setServices(root_, "Wi-Fi\nEthernet\n");
  presetProxy(root_, "Wi-Fi", "web", false, "127.0.0.1", "7890");  // set once, but off
  leaveStaleConfig();
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("启动对账：无存活内核，残留已清理", std::chrono::seconds(20)));

  EXPECT_EQ(reconciliationLines().size(), 1u);
  EXPECT_FALSE(fs::exists(workDir() + "/config.yaml"));
  EXPECT_TRUE(settingCalls(root_).empty());
  EXPECT_EQ(callsOf(root_, "networksetup"),
            (std::vector<Args>{{"-listallnetworkservices"}, {"-getwebproxy", "Wi-Fi"}}));
  // Reconciliation is over before the start-up goes on to the kernel check.
  const auto lines = daemon_->logLines();
  EXPECT_LT(lineIndex(lines, "启动对账：无存活内核，残留已清理"),
            lineIndex(lines, "[Helper] 内核 version: zelvan-core"));
}

TEST_F(LaunchReconciliationTest, StaleLocalProxyIsClearedOnEveryEnabledService) {
  setServices(root_, "Wi-Fi\n*Bluetooth PAN\nEthernet\n");
  presetAllKinds("Wi-Fi", "127.0.0.1");
  presetAllKinds("Ethernet", "127.0.0.1");
  presetAllKinds("Bluetooth PAN", "127.0.0.1");
  leaveStaleConfig();
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("启动对账：无存活内核，残留已清理", std::chrono::seconds(20)));

  const auto lines = daemon_->logLines();
  const size_t leftover =
      lineIndex(lines, "启动对账：清理遗留的本机系统代理（上次崩溃残留），恢复直连");
  const size_t cleared = lineIndex(lines, "system proxy disabled on services: Wi-Fi, Ethernet");
  const size_t closing = lineIndex(lines, "启动对账：无存活内核，残留已清理");
  EXPECT_LT(leftover, cleared);
  EXPECT_LT(cleared, closing);
  EXPECT_LT(closing, lines.size());
  EXPECT_EQ(reconciliationLines().size(), 2u);

  EXPECT_EQ(settingCalls(root_), offCommands({"Wi-Fi", "Ethernet"}));
  EXPECT_FALSE(proxyEnabled(root_, "Wi-Fi", "web"));
  EXPECT_FALSE(proxyEnabled(root_, "Ethernet", "socks"));
  EXPECT_TRUE(proxyEnabled(root_, "Bluetooth PAN", "web"));  // disabled service: not ours
  EXPECT_EQ(proxyState(root_)["Wi-Fi"]["web"]["server"], "127.0.0.1");
  EXPECT_FALSE(fs::exists(workDir() + "/config.yaml"));
}

TEST_F(LaunchReconciliationTest, ProxyPointingAtAnotherHostIsLeftAlone) {
  setServices(root_, "Wi-Fi\n");
  presetAllKinds("Wi-Fi", "proxy.corp.example");
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("启动对账：无存活内核，残留已清理", std::chrono::seconds(20)));
  EXPECT_EQ(reconciliationLines().size(), 1u);
  EXPECT_TRUE(settingCalls(root_).empty());
  EXPECT_TRUE(proxyEnabled(root_, "Wi-Fi", "web"));
}

TEST_F(LaunchReconciliationTest, SurvivingKernelIsReadoptedWithTheSystemProxyUntouched) {
  setServices(root_, "Wi-Fi\n");
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  auto set = client_->setSystemProxy("127.0.0.1", 7890, 7890);
  ASSERT_TRUE(set.ok() && *set);

  daemon_->kill9();
  clearCalls(root_);
  daemon_->start();
  ASSERT_TRUE(daemon_->waitForLog("启动对账：重接管存活内核，连接保持（未断网）",
                                  std::chrono::seconds(20)));
  ASSERT_TRUE(daemon_->waitForLog("[Helper] 内核 version: zelvan-core", std::chrono::seconds(20)));

  EXPECT_EQ(reconciliationLines().size(), 1u);
  EXPECT_TRUE(processAlive(kernel));
  EXPECT_EQ(onlyKernelPid(root_), kernel);
  EXPECT_TRUE(callsOf(root_, "networksetup").empty());
  for (const char* kind : {"web", "secureweb", "socks"})
    EXPECT_TRUE(proxyEnabled(root_, "Wi-Fi", kind));
}

TEST_F(LaunchReconciliationTest, KernelThatCannotBeReadoptedIsKilledAndTheLocalProxyCleared) {
  setServices(root_, "Wi-Fi\n");
  presetAllKinds("Wi-Fi", "localhost");
  auto fake = startFakeKernel();
  blockControlSocketPath();
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("[Helper] 内核 version: zelvan-core", std::chrono::seconds(20)));

  const auto lines = daemon_->logLines();
  const size_t failed = lineIndex(lines, "启动对账：重接管失败 → 杀内核 + 清系统代理");
  const size_t cleared = lineIndex(lines, "system proxy disabled on services: Wi-Fi");
  EXPECT_LT(failed, cleared);
  EXPECT_LT(cleared, lines.size());
  EXPECT_EQ(reconciliationLines().size(), 1u);

  const int status = fake->reap();  // killed by the daemon's pkill
  EXPECT_TRUE(WIFSIGNALED(status)) << "wait status " << status;
  EXPECT_EQ(settingCalls(root_), offCommands({"Wi-Fi"}));
  EXPECT_FALSE(proxyEnabled(root_, "Wi-Fi", "web"));
}

TEST_F(LaunchReconciliationTest, KernelThatCannotBeReadoptedLeavesAForeignProxyAlone) {
  setServices(root_, "Wi-Fi\n");
  presetAllKinds("Wi-Fi", "10.20.30.40");
  auto fake = startFakeKernel();
  blockControlSocketPath();
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("[Helper] 内核 version: zelvan-core", std::chrono::seconds(20)));

  EXPECT_EQ(daemon_->countLog("启动对账：重接管失败 → 杀内核 + 清系统代理"), 1u);
  EXPECT_EQ(reconciliationLines().size(), 1u);
  const int status = fake->reap();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(settingCalls(root_).empty());
  EXPECT_TRUE(proxyEnabled(root_, "Wi-Fi", "web"));
}

}  // namespace
}  // namespace zelvo::testing::host
