// zelvoctl's kernel commands against the real daemon and kernel: what they
// print and how they exit.
#include <cmath>
#include <fstream>

#include "support/command.h"
#include "support/supervision_support.h"

namespace zelvo::testing::supervision {
namespace {

// Each zelvoctl run is a client that connects and exits; the daemon's client
// watchdog, which watches the client that connected last, would then tear the
// kernel down at its next tick. The test's own client therefore reconnects
// after every run, and runs are placed right after a tick (ticks come every
// 4 s from the first connection, which is the test's) so that no tick can fall
// between zelvoctl's exit and that reconnection.
class ZelvoctlProxyTest : public SupervisionTest {
 protected:
  void SetUp() override {
    startDaemon();
    firstConnection_ = Clock::now();
    ASSERT_TRUE(client_->getVersion().ok());
  }

  CommandResult ctl(std::vector<std::string> args, double budgetSeconds = 0.8) {
    const double phase = std::fmod(secondsSince(firstConnection_), 4.0);
    if (phase < 0.25 || phase + budgetSeconds > 3.8) {
      std::this_thread::sleep_for(std::chrono::duration<double>(4.0 - phase + 0.3));
    }
    args.insert(args.begin(), {ZELVOCTL_BIN, "--root", root_.path()});
    CommandResult r = runCommand(args, 60);
    client_->disconnect();
    EXPECT_TRUE(client_->getVersion().ok());
    return r;
  }

  std::string configFile(const std::string& text) {
    // Beside the root, not in it: the daemon's files are not mixed with ours.
    const std::string path = root_.path() + "-" + std::to_string(files_.size()) + ".yaml";
    std::ofstream(path) << text;
    files_.push_back(path);
    return path;
  }

  void TearDown() override {
    for (const auto& f : files_) std::filesystem::remove(f);
    SupervisionTest::TearDown();
  }

  Clock::time_point firstConnection_;
  std::vector<std::string> files_;
};

TEST_F(ZelvoctlProxyTest, KernelCommandsPrintTheirAnswersAndExitByThem) {
  // Nothing runs yet: failures exit 1 with the helper's reason.
  auto r = ctl({"status"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("running:    no"), std::string::npos) << r.out;
  r = ctl({"reload", configFile("mixed-port: 1\n")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "failed: kernel not running\n");
  r = ctl({"select", "Proxy", "node-a"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "failed\n");
  r = ctl({"query", "getConfig"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no answer to getConfig"), std::string::npos) << r.err;
  r = ctl({"start", root_.path() + "/no-such-file"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

  const uint16_t port = freePort();
  r = ctl({"start", configFile(yamlConfig(port))}, 3.0);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "started\n");
  ASSERT_TRUE(whenLogged(*daemon_, "驱动序列完成", 1, 20.0));

  r = ctl({"status", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const Json status = Json::parse(r.out, nullptr, false);
  EXPECT_EQ(status, (Json{{"isRunning", true},
                          {"httpPort", port},
                          {"socksPort", port},
                          {"mode", "rule"},
                          {"uplink", 0},
                          {"downlink", 0}}))
      << r.out;
  r = ctl({"traffic", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Json::parse(r.out, nullptr, false),
            (Json{{"up", 0}, {"down", 0}, {"totalUp", 0}, {"totalDown", 0}}))
      << r.out;

  r = ctl({"select", "Proxy", "node-b"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
  r = ctl({"select", "Proxy", "no-such-node"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "failed\n");
  r = ctl({"mode", "global"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  r = ctl({"tun", "on"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
  r = ctl({"tun", "maybe"});
  EXPECT_NE(r.exitCode, 0);

  r = ctl({"query", "getConfig"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const Json config = Json::parse(r.out, nullptr, false);
  EXPECT_EQ(config["mode"], "global") << r.out;
  EXPECT_EQ(config["tun"]["enable"], true) << r.out;
  r = ctl({"query", "getProxies", "ignored payload"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Json::parse(r.out, nullptr, false)["proxies"]["Proxy"]["now"], "node-b") << r.out;
  r = ctl({"query", "shutdown"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(daemon_->countLog("kernelQuery 拒绝非白名单方法: shutdown"), 1u);
  r = ctl({"delays"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "{}\n");

  r = ctl({"reload", configFile(yamlConfig(port) + "# second\n")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "reloaded\n");
  r = ctl({"stop"}, 3.0);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
  r = ctl({"status"});
  EXPECT_NE(r.out.find("running:    no"), std::string::npos) << r.out;
  // The teardown above was the client's, not the watchdog's.
  EXPECT_EQ(daemon_->countLog("看门狗：主程序"), 0u);
}

}  // namespace
}  // namespace zelvo::testing::supervision
