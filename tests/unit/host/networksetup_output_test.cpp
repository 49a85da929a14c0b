// The readers of networksetup's answers, on the exact text macOS prints and
// on the odd shapes a tool (or a stand-in) may produce.
#include "host/networksetup_output.h"

#include <gtest/gtest.h>

namespace zelvo::host {
namespace {

using Names = std::vector<std::string>;

TEST(NetworksetupOutputTest, ServiceListKeepsEnabledTrimmedNamesInOrder) {
  EXPECT_EQ(parseNetworkServiceList("An asterisk (*) denotes that a network service is disabled.\n"
                                    "Wi-Fi\n*Bluetooth PAN\n  Thunderbolt Bridge\t\n"
                                    "USB 10/100/1000 LAN\n"),
            (Names{"Wi-Fi", "Thunderbolt Bridge", "USB 10/100/1000 LAN"}));
  // Blank lines and no trailing newline; any line beginning with the header's
  // words counts as the header, while "Any Asterisk" does not.
  EXPECT_EQ(parseNetworkServiceList("\n\t \nAn Asteriskless Net\nAny Asterisk\nLast"),
            (Names{"Any Asterisk", "Last"}));
  EXPECT_EQ(parseNetworkServiceList("AN ASTERISK (*) denotes that a network service is disabled."),
            Names{});
  EXPECT_EQ(parseNetworkServiceList(""), Names{});
}

TEST(NetworksetupOutputTest, LocalWebProxyNeedsEnabledAndALocalServer) {
  EXPECT_TRUE(showsEnabledLocalWebProxy("Enabled: Yes\nServer: 127.0.0.1\nPort: 7890\n"));
  EXPECT_TRUE(showsEnabledLocalWebProxy("Enabled: Yes\nServer: LOCALHOST\nPort: 1\n"));
  EXPECT_FALSE(showsEnabledLocalWebProxy("Enabled: No\nServer: 127.0.0.1\nPort: 7890\n"));
  EXPECT_FALSE(showsEnabledLocalWebProxy("Enabled: Yes\nServer: 10.0.0.1\nPort: 7890\n"));
  EXPECT_FALSE(showsEnabledLocalWebProxy("Enabled: Yes\nServer: \nPort: 7890\n"));
  EXPECT_FALSE(showsEnabledLocalWebProxy(""));
}

TEST(NetworksetupOutputTest, Utf8CheckRejectsWhatIsNotText) {
  EXPECT_TRUE(isValidUtf8("Wi-Fi 网络 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isValidUtf8("\xFF\xFE"));
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(isValidUtf8("ab\xE4\xB8"));        // cut short
}

}  // namespace
}  // namespace zelvo::host
