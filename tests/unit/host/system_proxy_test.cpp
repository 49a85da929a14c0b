// The system proxy against the networksetup stand-in in a temporary root:
// which commands run, in which order, with which arguments, and what the
// leftover test concludes from the tool's answer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/host_paths.h"
#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A root with the stand-in tools, shared by the tests of this file (the root
// is process-wide); each test starts from an empty state directory.
class SystemProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/zelvo-sysproxy-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    const fs::path standins = fs::path(ZELVO_SOURCE_DIR) / "tools" / "standins";
    fs::create_directories(root_ / "usr/sbin");
    fs::copy_file(standins / "networksetup", root_ / "usr/sbin/networksetup");
    platform::setRoot(root_.string());
  }
  static void TearDownTestSuite() {
    platform::setRoot("/");
    fs::remove_all(root_);
  }

  void SetUp() override {
    fs::remove_all(stateDir());
    fs::create_directories(stateDir());
    installTool("networksetup");
    helper_ = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  }

  static fs::path stateDir() { return root_ / "var/standins"; }

  static void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }

  static void setServices(const std::string& lines) {
    writeFile(stateDir() / "network-services", lines);
  }

  // Replaces the tool with the stand-in again (a test may have swapped it).
  static void installTool(const std::string& name) {
    const fs::path dst = root_ / "usr/sbin" / name;
    fs::remove(dst);
    fs::copy_file(fs::path(ZELVO_SOURCE_DIR) / "tools/standins" / name, dst);
  }

  // Replaces networksetup with a shell script.
  static void replaceTool(const std::string& script) {
    const fs::path dst = root_ / "usr/sbin/networksetup";
    fs::remove(dst);
    writeFile(dst, script);
    ::chmod(dst.c_str(), 0755);
  }

  // Every recorded networksetup call, without the tool's name.
  static std::vector<Args> calls() {
    std::vector<Args> out;
    std::ifstream in(stateDir() / "calls.jsonl");
    std::string line;
    while (std::getline(in, line)) {
      auto j = nlohmann::json::parse(line);
      Args a = j.get<Args>();
      if (!a.empty() && a.front() == "networksetup") out.emplace_back(a.begin() + 1, a.end());
    }
    return out;
  }

  // The calls that change a setting (everything but listing and reading).
  static std::vector<Args> changingCalls() {
    std::vector<Args> out;
    for (auto& c : calls()) {
      if (!c.empty() && c[0].rfind("-set", 0) == 0) out.push_back(c);
    }
    return out;
  }

  static void clearCalls() { fs::remove(stateDir() / "calls.jsonl"); }

  static nlohmann::json state() {
    std::ifstream in(stateDir() / "networksetup-state.json");
    if (!in) return nlohmann::json::object();
    return nlohmann::json::parse(in);
  }

  // Presets the web proxy of `service`.
  static void setWebProxy(const std::string& service, bool enabled, const std::string& server,
                          const std::string& port) {
    auto s = state();
    s[service]["web"] = {{"enabled", enabled}, {"server", server}, {"port", port}};
    writeFile(stateDir() / "networksetup-state.json", s.dump());
  }

  static inline fs::path root_;
  std::shared_ptr<Helper> helper_;
  platform::LogCapture logs_;
};

TEST_F(SystemProxyTest, SettingTwoServicesRunsTheirSixCommandsEachInListOrder) {
  setServices("  Wi-Fi\t\n*Bluetooth PAN\n\tUSB 10/100/1000 LAN \n");

  ASSERT_TRUE(helper_->configureSystemProxy(true, "127.0.0.1", 7890, 7891));

  const std::string a = "Wi-Fi", b = "USB 10/100/1000 LAN";
  const std::vector<Args> expected = {
      {"-setwebproxy", a, "127.0.0.1", "7890"},
      {"-setsecurewebproxy", a, "127.0.0.1", "7890"},
      {"-setsocksfirewallproxy", a, "127.0.0.1", "7891"},
      {"-setwebproxystate", a, "on"},
      {"-setsecurewebproxystate", a, "on"},
      {"-setsocksfirewallproxystate", a, "on"},
      {"-setwebproxy", b, "127.0.0.1", "7890"},
      {"-setsecurewebproxy", b, "127.0.0.1", "7890"},
      {"-setsocksfirewallproxy", b, "127.0.0.1", "7891"},
      {"-setwebproxystate", b, "on"},
      {"-setsecurewebproxystate", b, "on"},
      {"-setsocksfirewallproxystate", b, "on"},
  };
  auto all = calls();
  ASSERT_EQ(all.size(), 13u);
  EXPECT_EQ(all.front(), Args{"-listallnetworkservices"});
  EXPECT_EQ(std::vector<Args>(all.begin() + 1, all.end()), expected);

  EXPECT_EQ(logs_.count("[Helper] "), logs_.lines().size());
  EXPECT_EQ(
      logs_.count(": configureSystemProxy: enable=true, host=127.0.0.1, http=7890, socks=7891"),
      1u);
  EXPECT_EQ(logs_.count(": system proxy enabled on services: Wi-Fi, USB 10/100/1000 LAN"), 1u);

  const auto s = state();
  for (const auto& svc : {a, b}) {
    EXPECT_EQ(s[svc]["web"]["server"], "127.0.0.1");
    EXPECT_EQ(s[svc]["web"]["port"], "7890");
    EXPECT_EQ(s[svc]["secureweb"]["port"], "7890");
    EXPECT_EQ(s[svc]["socks"]["port"], "7891");
    for (const char* kind : {"web", "secureweb", "socks"}) EXPECT_TRUE(s[svc][kind]["enabled"]);
  }
  EXPECT_FALSE(s.contains("Bluetooth PAN"));
}

TEST_F(SystemProxyTest, ClearingTurnsOnlyTheStatesOffAndKeepsHostsAndPorts) {
  setServices("Wi-Fi\n*Bluetooth PAN\nEthernet\n");
  ASSERT_TRUE(helper_->configureSystemProxy(true, "localhost", 1080, 1081));
  clearCalls();
  logs_.clear();

  ASSERT_TRUE(helper_->configureSystemProxy(false, "", 0, 0));

  EXPECT_EQ(changingCalls(), (std::vector<Args>{
                                 {"-setwebproxystate", "Wi-Fi", "off"},
                                 {"-setsecurewebproxystate", "Wi-Fi", "off"},
                                 {"-setsocksfirewallproxystate", "Wi-Fi", "off"},
                                 {"-setwebproxystate", "Ethernet", "off"},
                                 {"-setsecurewebproxystate", "Ethernet", "off"},
                                 {"-setsocksfirewallproxystate", "Ethernet", "off"},
                             }));
  EXPECT_EQ(logs_.count(": configureSystemProxy: enable=false, host=, http=0, socks=0"), 1u);
  EXPECT_EQ(logs_.count(": system proxy disabled on services: Wi-Fi, Ethernet"), 1u);
  const auto s = state();
  for (const char* svc : {"Wi-Fi", "Ethernet"}) {
    EXPECT_EQ(s[svc]["web"]["server"], "localhost");
    EXPECT_EQ(s[svc]["web"]["port"], "1080");
    EXPECT_EQ(s[svc]["socks"]["port"], "1081");
    for (const char* kind : {"web", "secureweb", "socks"}) EXPECT_FALSE(s[svc][kind]["enabled"]);
  }
  for (const auto& c : calls()) {
    for (const auto& arg : c) EXPECT_EQ(arg.find("Bluetooth"), std::string::npos);
  }
}

TEST_F(SystemProxyTest, WithoutAnEnabledServiceNothingIsChangedAndTheAnswerIsFalse) {
  setServices("*Wi-Fi\n  *Ethernet\n\n");
  EXPECT_FALSE(helper_->configureSystemProxy(true, "127.0.0.1", 7890, 7890));
  EXPECT_FALSE(helper_->configureSystemProxy(false, "", 0, 0));
  EXPECT_EQ(logs_.count(": no network services"), 2u);
  EXPECT_EQ(logs_.count("system proxy"), 0u);
  EXPECT_EQ(calls(), (std::vector<Args>{{"-listallnetworkservices"}, {"-listallnetworkservices"}}));
}

TEST_F(SystemProxyTest, EmptyHostAndOddPortsArePassedOnVerbatim) {
  setServices("Wi-Fi\n");
  ASSERT_TRUE(helper_->configureSystemProxy(true, "", -1, 0));
  const auto c = changingCalls();
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[0], (Args{"-setwebproxy", "Wi-Fi", "", "-1"}));
  EXPECT_EQ(c[2], (Args{"-setsocksfirewallproxy", "Wi-Fi", "", "0"}));
}

TEST_F(SystemProxyTest, ListingKeepsEnabledServicesOnlyAndSkipsTheHeader) {
  // The header is matched case-insensitively; a service called "Any Asterisk"
  // is kept because only the full phrase marks the header.
  replaceTool(
      "#!/bin/sh\n"
      "printf 'AN ASTERISK (*) denotes that a network service is disabled.\\n'\n"
      "printf '\\n \\t\\n*Off\\n  Wi-Fi 2  \\nAny Asterisk\\r\\nLast'\n");
  EXPECT_EQ(helper_->listNetworkServices(), (Args{"Wi-Fi 2", "Any Asterisk\r", "Last"}));
}

TEST_F(SystemProxyTest, ToolThatCannotRunOrPrintsNoTextMeansNoServices) {
  fs::remove(root_ / "usr/sbin/networksetup");
  EXPECT_EQ(helper_->runNetworksetup({"-listallnetworkservices"}), std::nullopt);
  EXPECT_TRUE(helper_->listNetworkServices().empty());
  EXPECT_FALSE(helper_->configureSystemProxy(true, "127.0.0.1", 1, 2));
  EXPECT_FALSE(helper_->isLocalSystemProxyLeftover());
  EXPECT_EQ(logs_.count(": no network services"), 1u);

  // Output that is not UTF-8 counts as no output at all.
  replaceTool("#!/bin/sh\nprintf 'Wi-Fi\\n\\377\\376\\n'\n");
  EXPECT_EQ(helper_->runNetworksetup({"-listallnetworkservices"}), std::nullopt);
  EXPECT_TRUE(helper_->listNetworkServices().empty());

  // Output goes through one pipe for both streams, whatever the exit status.
  replaceTool("#!/bin/sh\necho out\necho err >&2\nexit 3\n");
  EXPECT_EQ(helper_->runNetworksetup({}), std::optional<std::string>("out\nerr\n"));
}

TEST_F(SystemProxyTest, LeftoverTestReadsOnlyTheFirstServicesWebProxy) {
  setServices("*Disabled\nWi-Fi\nEthernet\n");
  struct Case {
    bool enabled;
    std::string server;
    bool expected;
  };
  const std::vector<Case> cases = {
      {true, "127.0.0.1", true}, {true, "LocalHost", true},   {true, "localhost.", true},
      {true, "10.0.0.1", false}, {false, "127.0.0.1", false}, {false, "localhost", false},
      {true, "", false},
  };
  for (const auto& c : cases) {
    fs::remove(stateDir() / "networksetup-state.json");
    setWebProxy("Wi-Fi", c.enabled, c.server, "65000");
    clearCalls();
    EXPECT_EQ(helper_->isLocalSystemProxyLeftover(), c.expected)
        << "enabled=" << c.enabled << " server=" << c.server;
    EXPECT_EQ(calls(), (std::vector<Args>{{"-listallnetworkservices"}, {"-getwebproxy", "Wi-Fi"}}));
  }

  // A local proxy on the second service, or on another kind, is not looked at.
  fs::remove(stateDir() / "networksetup-state.json");
  setWebProxy("Ethernet", true, "127.0.0.1", "7890");
  auto s = state();
  s["Wi-Fi"]["socks"] = {{"enabled", true}, {"server", "127.0.0.1"}, {"port", "7891"}};
  writeFile(stateDir() / "networksetup-state.json", s.dump());
  EXPECT_FALSE(helper_->isLocalSystemProxyLeftover());
}

TEST_F(SystemProxyTest, HungToolIsGivenUpAfterItsTimeOut) {
  setServices("Wi-Fi\n");
  writeFile(stateDir() / "hang-networksetup", "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(helper_->listNetworkServices().empty());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(seconds, 9.0);
  EXPECT_LT(seconds, 20.0);
}

}  // namespace
}  // namespace zelvo
