// The daemon as its clients meet it: the wire format spoken by a foreign
// client, the read-only requests of an idle daemon, its log lines, bad input
// that closes only its own connection, zelvoctl, and a client whose daemon
// goes away.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <regex>

#include "support/scenario.h"

namespace zelvo::testing {
namespace {

using Service = Scenario;

TEST_F(Service, AForeignClientIsAnsweredInTheWireFormat) {
  startDaemon();
  WireClient wire(socketPath());
  // Pipelined requests; replies may come in any order, matched by seq.
  wire.send(WireClient::request(7, "getVersionWithCompletion:", Json::array()));
  wire.send(WireClient::request(8, "getProxyStatusWithCompletion:", Json::array()));
  wire.send(WireClient::request(9, "getKernelVersionWithCompletion:", Json::array()));
  wire.send(WireClient::request(10, "getTrafficStatsWithCompletion:", Json::array()));
  std::map<int, Json> replies;
  for (int i = 0; i < 4; ++i) {
    const Json r = wire.receive();
    ASSERT_TRUE(r.is_object());
    replies[r["seq"].get<int>()] = r["reply"];
  }
  EXPECT_EQ(replies[7], Json::array({"1.0.5 (zelvan-core)"}));
  EXPECT_EQ(replies[8], Json::parse(R"([{"$class":"ProxyStatus","isRunning":false,"httpPort":0,
      "socksPort":0,"mode":"","uplink":0,"downlink":0}])"));
  EXPECT_EQ(replies[9], Json::array({"zelvan-core"}));
  EXPECT_EQ(replies[10], Json::array({0, 0, 0, 0}));

  // Every line is "[Helper] YYYY-MM-DD HH:MM:SS: message"; each connection
  // is logged with the client's own process id.
  const std::regex line(R"(\[(Helper|Kernel)\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: .+)");
  for (const auto& l : log()) {
    if (l.rfind("[Helper] Started", 0) != 0 && l.find("内核 version") == std::string::npos) {
      EXPECT_TRUE(std::regex_match(l, line)) << l;
    }
  }
  EXPECT_EQ(countLog("Accepted new connection (client pid=" + std::to_string(::getpid()) + ")"),
            1u);
  EXPECT_EQ(countLog("getVersion called"), 1u);
}

TEST_F(Service, PendingCallsFailAtOnceWhenTheDaemonDies) {
  startDaemon();
  ASSERT_NE(startKernel(), 0);
  ASSERT_TRUE(client().getVersion().ok());
  // A status call waits for the kernel; the kernel held still keeps it pending.
  ASSERT_EQ(::kill(kernelPid(), SIGSTOP), 0);
  std::promise<Result<std::optional<ProxyStatus>>> pending;
  client().getProxyStatus([&](auto r) { pending.set_value(std::move(r)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto killed = Clock::now();
  killDaemon();
  auto future = pending.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_LT(secondsBetween(killed, Clock::now()), 1.0);
  EXPECT_FALSE(future.get().ok());
}

TEST_F(Service, ZelvoctlSpeaksForTheClientAndNamesAnUnreachableHelper) {
  const auto unreachable = runProgram({ZELVOCTL_BIN, "--root", root(), "version"});
  EXPECT_NE(unreachable.exitCode, 0);
  EXPECT_NE(unreachable.err.find(socketPath()), std::string::npos) << unreachable.err;
  EXPECT_EQ(std::count(unreachable.err.begin(), unreachable.err.end(), '\n'), 1) << unreachable.err;
  startDaemon();
  const auto version = runProgram({ZELVOCTL_BIN, "--root", root(), "version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "1.0.5 (zelvan-core)\n");
  const auto usage = runProgram({ZELVOCTL_BIN, "--root", root(), "mode"});
  EXPECT_NE(usage.exitCode, 0);
  EXPECT_EQ(countLog("Accepted new connection"), 1u);  // a usage error never connects
}

TEST_F(Service, ARootTooLongForTheSocketsIsRefusedWithOneLine) {
  const std::string longRoot = root() + "/" + std::string(80, 'r');
  std::filesystem::create_directories(longRoot);
  const auto r = runProgram({ZELVO_HELPER_BIN, "--root", longRoot}, 10);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("[Helper] Root too long: " + longRoot), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

}  // namespace
}  // namespace zelvo::testing
