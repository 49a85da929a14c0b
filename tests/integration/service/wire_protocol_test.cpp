// A client in another language (Python, with its own MessagePack code)
// written only from the wire format calls every operation of the protocol.
#include <nlohmann/json.hpp>

#include "service_test_support.h"

namespace zelvo::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

CommandResult runWireClient(const SandboxRoot& root, std::vector<std::string> extra = {}) {
  std::vector<std::string> argv{
      "python3", std::string(ZELVO_SOURCE_DIR) + "/tests/integration/service/wire_client.py",
      root.socketPath()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return runCommand(argv, 120);
}

bool isBool(const json& v) {
  return v.is_boolean();
}
bool isOptString(const json& v) {
  return v.is_null() || v.is_string();
}

TEST(WireProtocol, AForeignClientCallsEveryOperation) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto run = runWireClient(root);
  ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
  json r = json::parse(run.out)["replies"];
  ASSERT_EQ(r.size(), 15u) << r.dump();

  // What the idle service without a kernel answers.
  EXPECT_EQ(r["getVersionWithCompletion:"], json::array({"1.0.5"}));
  EXPECT_EQ(r["getKernelVersionWithCompletion:"], json::array({nullptr}));
  EXPECT_EQ(r["getTrafficStatsWithCompletion:"], json::array({0, 0, 0, 0}));
  json status = r["getProxyStatusWithCompletion:"][0];
  EXPECT_EQ(status, json({{"isRunning", false},
                          {"httpPort", 0},
                          {"socksPort", 0},
                          {"mode", ""},
                          {"uplink", 0},
                          {"downlink", 0},
                          {"errorMessage", nullptr}}));

  // The shapes of every other reply, as the protocol table gives them.
  for (const char* sel :
       {"setSystemProxyWithHost:httpPort:socksPort:completion:", "clearSystemProxyWithCompletion:",
        "flushDNSWithCompletion:", "stopProxyWithCompletion:",
        "selectOutboundWithGroupTag:outboundTag:completion:", "setRouteModeWithMode:completion:",
        "updateTunWithEnable:completion:"}) {
    ASSERT_EQ(r[sel].size(), 1u) << sel;
    EXPECT_TRUE(isBool(r[sel][0])) << sel;
  }
  for (const char* sel : {"startProxyWithConfig:completion:", "reloadProxyWithConfig:completion:",
                          "installKernelWithBinaryData:completion:"}) {
    ASSERT_EQ(r[sel].size(), 2u) << sel;
    EXPECT_TRUE(isBool(r[sel][0])) << sel;
    EXPECT_TRUE(isOptString(r[sel][1])) << sel;
    // Without a kernel nothing can start or reload, and the uploaded
    // "kernel" (a script that fails its trial run) is refused.
    EXPECT_EQ(r[sel][0], false) << sel;
  }
  ASSERT_EQ(r["kernelQueryWithMethod:data:completion:"].size(), 1u);
  EXPECT_TRUE(isOptString(r["kernelQueryWithMethod:data:completion:"][0]));

  // One connection, accepted and then invalidated when the client left.
  EXPECT_TRUE(daemon.waitForLog("Connection invalidated", 5s));
  EXPECT_TRUE(daemon.running());
}

TEST(WireProtocol, HelperRemovalAnswersTheForeignClient) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto run = runWireClient(root, {"--uninstall"});
  ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
  json r = json::parse(run.out)["replies"];
  ASSERT_EQ(r["uninstallHelperWithCompletion:"].size(), 1u);
  EXPECT_TRUE(r["uninstallHelperWithCompletion:"][0].is_boolean());
}

}  // namespace
}  // namespace zelvo::testing
