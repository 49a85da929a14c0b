// The readers of networksetup's answers, as pure functions of its text; the
// watchdog's hand-over between clients; the ports read from a configuration.
#include "host/networksetup_output.h"

#include <gtest/gtest.h>

#include "service/helper.h"

namespace zelvo::host {
namespace {

using Names = std::vector<std::string>;

TEST(NetworksetupOutput, ServicesLocalWebProxyAndUtf8AreReadFromTheText) {
  // Enabled names, trimmed, in order; the header is any line starting with its words.
  EXPECT_EQ(parseNetworkServiceList("An asterisk (*) denotes that a network service is disabled.\n"
                                    "Wi-Fi\n*Bluetooth PAN\n  Thunderbolt Bridge\t\n\n\t \nLAN 2"),
            (Names{"Wi-Fi", "Thunderbolt Bridge", "LAN 2"}));
  EXPECT_EQ(parseNetworkServiceList("AN ASTERISK (*) denotes\nAny Asterisk\n"),
            Names{"Any Asterisk"});
  for (const auto& [text, local] :
       {std::pair{"Enabled: Yes\nServer: 127.0.0.1\nPort: 7890\n", true},
        {"Enabled: Yes\nServer: LOCALHOST\nPort: 1\n", true},
        {"Enabled: No\nServer: 127.0.0.1\nPort: 7890\n", false},
        {"Enabled: Yes\nServer: 10.0.0.1\nPort: 7890\n", false},
        {"Enabled: Yes\nServer: \nPort: 7890\n", false}}) {
    EXPECT_EQ(showsEnabledLocalWebProxy(text), local) << text;
  }
  // Output that is not strict UTF-8 counts as no output at all.
  EXPECT_TRUE(isValidUtf8("Wi-Fi 网络 \xF0\x9F\x98\x80"));
  for (const char* bad :
       {"\xFF\xFE", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE4\xB8"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
}

// A client that connects while the last one is probed stays watched: only the
// probed pid is forgotten.
TEST(Watchdog, AClientConnectingWhileTheLastIsProbedStaysWatched) {
  auto helper = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  helper->acceptConnection(100);
  EXPECT_EQ(helper->takeVanishedClient([](pid_t) { return false; }), 0);
  EXPECT_EQ(helper->takeVanishedClient([&](pid_t pid) {
    EXPECT_EQ(pid, 100);
    return helper->acceptConnection(200);  // arrives during the probe; 100 is gone
  }),
            0);
  EXPECT_EQ(helper->clientAppPid(), 200);
  EXPECT_EQ(helper->takeVanishedClient([](pid_t) { return true; }), 200);
  EXPECT_EQ(helper->clientAppPid(), 0);
}

// The first mixed-port line, indented or not, sets both ports; else JSON
// inbounds in order, "mixed" the HTTP one; a text that yields none keeps them.
TEST(Ports, ReadFromAMixedPortLineElseFromInboundsElseKept) {
  auto helper = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  const std::tuple<std::string, int64_t, int64_t> steps[] = {
      {"a: 1\n  mixed-port: 7000 # x\nmixed-port: 1", 7000, 7000},
      {"no ports", 7000, 7000},
      {R"({"inbounds":[{"type":"mixed","listen_port":81}]})", 81, 7000},
      {R"({"inbounds":[{"type":"http","listen_port":1},{"type":"socks","listen_port":2},
          {"type":"http","listen_port":3},{"type":"socks","listen_port":"4"}]})",
       3, 2},
      {"mixed-port: 99999999999999999999", 3, 2}};  // overflows, and is no JSON
  for (const auto& [text, http, socks] : steps) {
    helper->parsePortsFromConfig(text);
    EXPECT_EQ(std::pair(helper->cachedHttpPort(), helper->cachedSocksPort()),
              std::pair(http, socks))
        << text;
  }
}

}  // namespace
}  // namespace zelvo::host
