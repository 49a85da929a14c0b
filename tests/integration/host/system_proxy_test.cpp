// The system-proxy requests end to end: client -> daemon -> networksetup
// stand-in, with the daemon's log lines and replies, and through zelvoctl.
#include "platform/subprocess.h"
#include "support/host_test_support.h"

namespace zelvo::testing::host {
namespace {

using SystemProxyServiceTest = HostTest;

TEST_F(SystemProxyServiceTest, SetAndClearRunTheCommandsOfEachEnabledServiceAndReply) {
  setServices(root_, "Wi-Fi\n*Bluetooth PAN\n  Thunderbolt Bridge\t\n");
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("启动对账：", std::chrono::seconds(20)));
  clearCalls(root_);

  auto set = client_->setSystemProxy("127.0.0.1", 7890, 7891);
  ASSERT_TRUE(set.ok()) << set.error->localizedDescription();
  EXPECT_TRUE(*set);

  std::vector<Args> expected;
  for (const std::string s : {"Wi-Fi", "Thunderbolt Bridge"}) {
    expected.push_back({"-setwebproxy", s, "127.0.0.1", "7890"});
    expected.push_back({"-setsecurewebproxy", s, "127.0.0.1", "7890"});
    expected.push_back({"-setsocksfirewallproxy", s, "127.0.0.1", "7891"});
    expected.push_back({"-setwebproxystate", s, "on"});
    expected.push_back({"-setsecurewebproxystate", s, "on"});
    expected.push_back({"-setsocksfirewallproxystate", s, "on"});
  }
  EXPECT_EQ(settingCalls(root_), expected);

  auto lines = daemon_->logLines();
  const size_t called =
      lineIndex(lines, "setSystemProxy called: host=127.0.0.1, httpPort=7890, socksPort=7891");
  const size_t configured =
      lineIndex(lines, "configureSystemProxy: enable=true, host=127.0.0.1, http=7890, socks=7891");
  const size_t done =
      lineIndex(lines, "system proxy enabled on services: Wi-Fi, Thunderbolt Bridge");
  const size_t result = lineIndex(lines, "setSystemProxy result: true");
  EXPECT_LT(called, configured);
  EXPECT_LT(configured, done);
  EXPECT_LT(done, result);
  EXPECT_LT(result, lines.size());

  clearCalls(root_);
  auto clear = client_->clearSystemProxy();
  ASSERT_TRUE(clear.ok());
  EXPECT_TRUE(*clear);
  EXPECT_EQ(settingCalls(root_), offCommands({"Wi-Fi", "Thunderbolt Bridge"}));
  EXPECT_EQ(daemon_->countLog("clearSystemProxy called"), 1u);
  EXPECT_EQ(daemon_->countLog("configureSystemProxy: enable=false, host=, http=0, socks=0"), 1u);
  EXPECT_EQ(daemon_->countLog("clearSystemProxy result: true"), 1u);
  const Json state = proxyState(root_);
  EXPECT_EQ(state["Thunderbolt Bridge"]["socks"]["server"], "127.0.0.1");
  EXPECT_EQ(state["Thunderbolt Bridge"]["socks"]["port"], "7891");
  EXPECT_FALSE(proxyEnabled(root_, "Thunderbolt Bridge", "socks"));
  EXPECT_FALSE(state.contains("Bluetooth PAN"));
}

TEST_F(SystemProxyServiceTest, ZelvoctlSetsAndReportsNoServiceAsFailure) {
  setServices(root_, "Ethernet\n");
  startDaemon();
  const std::string root = root_.path();

  auto set = platform::runTool(ZELVOCTL_BIN,
                               {"--root", root, "proxy", "set", "localhost", "8080", "1080"});
  EXPECT_EQ(set.status, 0) << set.output;
  EXPECT_EQ(set.output, "ok\n");
  const Json state = proxyState(root_);
  EXPECT_EQ(state["Ethernet"]["web"]["server"], "localhost");
  EXPECT_EQ(state["Ethernet"]["secureweb"]["port"], "8080");
  EXPECT_EQ(state["Ethernet"]["socks"]["port"], "1080");
  EXPECT_TRUE(proxyEnabled(root_, "Ethernet", "web"));

  setServices(root_, "*Ethernet\n");
  clearCalls(root_);
  auto clear = platform::runTool(ZELVOCTL_BIN, {"--root", root, "proxy", "clear"});
  EXPECT_EQ(clear.status, 1) << clear.output;
  EXPECT_EQ(clear.output, "failed\n");
  EXPECT_EQ(daemon_->countLog("no network services"), 1u);
  EXPECT_EQ(daemon_->countLog("clearSystemProxy result: false"), 1u);
  EXPECT_EQ(callsOf(root_, "networksetup"), (std::vector<Args>{{"-listallnetworkservices"}}));
}

}  // namespace
}  // namespace zelvo::testing::host
