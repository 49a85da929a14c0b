// The daemon's start-up lines, the version requests, the status requests of
// an idle service, and the acceptance log line, against the real daemon.
#include "client/helper_client.h"
#include "service_test_support.h"

namespace zelvo::testing {
namespace {

using namespace std::chrono_literals;

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  return lines.size();
}

TEST(ServiceStartup, WithoutKernelLogsTheWarningAndServes) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  ASSERT_TRUE(daemon.waitForLog("[Helper] Warning: 内核 binary not found", 10s));
  auto lines = daemon.logLines();
  size_t started = indexOf(lines, "[Helper] Started and listening on com.zelvo.svc.helper");
  size_t warning = indexOf(lines, "[Helper] Warning: 内核 binary not found");
  ASSERT_LT(started, lines.size()) << "the start line is not a whole line of its own";
  ASSERT_LT(warning, lines.size());
  EXPECT_LT(started, warning);
  EXPECT_EQ(daemon.countLog("内核 version: zelvan-core"), 0u);

  auto client = root.client();
  auto v = client->getVersion();
  ASSERT_TRUE(v.ok()) << v.error->localizedDescription();
  EXPECT_EQ(*v, "1.0.5");
  auto k = client->getKernelVersion();
  ASSERT_TRUE(k.ok());
  EXPECT_EQ(*k, std::nullopt);
}

TEST(ServiceStartup, WithKernelLogsItsVersionAndReportsIt) {
  SandboxRoot root(SandboxRoot::Options{ZELVAN_CORE_BIN, ""});
  DaemonProcess daemon(root);
  ASSERT_TRUE(daemon.waitForLog("[Helper] 内核 version: zelvan-core", 10s));
  EXPECT_LT(indexOf(daemon.logLines(), "[Helper] 内核 version: zelvan-core"),
            daemon.logLines().size());
  EXPECT_EQ(daemon.countLog("Warning: 内核 binary not found"), 0u);

  auto client = root.client();
  auto v = client->getVersion();
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(*v, "1.0.5 (zelvan-core)");
  auto k = client->getKernelVersion();
  ASSERT_TRUE(k.ok());
  EXPECT_EQ(*k, std::optional<std::string>("zelvan-core"));

  // The test is made afresh on every request.
  root.removeKernel();
  EXPECT_EQ(*client->getVersion(), "1.0.5");
  EXPECT_EQ(*client->getKernelVersion(), std::nullopt);
  root.installKernel();
  EXPECT_EQ(*client->getVersion(), "1.0.5 (zelvan-core)");
}

TEST(ServiceStartup, IdleServiceReportsTheStoppedRecordAndZeroTraffic) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto client = root.client();
  auto status = client->getProxyStatus();
  ASSERT_TRUE(status.ok()) << status.error->localizedDescription();
  ASSERT_TRUE(status->has_value());
  EXPECT_EQ(**status, ProxyStatus::stoppedRecord());
  auto traffic = client->getTrafficStats();
  ASSERT_TRUE(traffic.ok());
  EXPECT_EQ(*traffic, TrafficStats{});
}

TEST(ServiceStartup, AcceptanceAndVersionCallsAreLoggedInTheHelperFormat) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  {
    auto client = root.client();
    ASSERT_TRUE(client->getVersion().ok());
    ASSERT_TRUE(client->getKernelVersion().ok());
  }
  ASSERT_TRUE(daemon.waitForLog("Connection invalidated", 10s));
  std::vector<std::string> messages;
  for (const auto& line : daemon.logLines()) {
    std::string ts, msg;
    if (line.rfind("[Helper] ", 0) == 0 &&
        line.find("Started and listening") == std::string::npos &&
        line.find("内核 binary") == std::string::npos) {
      ASSERT_TRUE(parseHelperLine(line, &ts, &msg)) << "badly formed line: " << line;
      EXPECT_LT(std::abs(secondsFromNow(ts)), 120) << line;
      messages.push_back(msg);
    }
  }
  std::string accepted = "Accepted new connection (client pid=" + std::to_string(::getpid()) + ")";
  auto pos = [&](const std::string& m) {
    return std::find(messages.begin(), messages.end(), m) - messages.begin();
  };
  ASSERT_LT(size_t(pos(accepted)), messages.size()) << "no acceptance line with our pid";
  ASSERT_LT(size_t(pos("getVersion called")), messages.size());
  EXPECT_LT(pos(accepted), pos("getVersion called"));
  EXPECT_LT(pos("getVersion called"), pos("Connection invalidated"));
  // getKernelVersion logs nothing; one connection, one invalidation.
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "getVersion called"), 1);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Connection invalidated"), 1);
  EXPECT_EQ(daemon.countLog("Connection interrupted"), 0u);
}

TEST(ServiceStartup, EachConnectionIsLoggedWithItsOwnProcessId) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto run = runCommand(
      {"python3", std::string(ZELVO_SOURCE_DIR) + "/tests/integration/service/wire_client.py",
       root.socketPath()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  auto reply = nlohmann::json::parse(run.out);
  int pythonPid = reply["pid"];
  ASSERT_NE(pythonPid, ::getpid());
  EXPECT_TRUE(daemon.waitForLog(
      "Accepted new connection (client pid=" + std::to_string(pythonPid) + ")", 5s));
}

}  // namespace
}  // namespace zelvo::testing
