// The HelperProtocol table and the checks the interface applies to it.
#include "service/helper_protocol.h"

#include <gtest/gtest.h>

#include "service/proxy_status.h"

namespace zelvo {
namespace {

using platform::IpcInterface;
using platform::IpcValue;

TEST(HelperProtocolTable, SixteenSelectorsInSlotOrder) {
  std::vector<std::string> expected = {
      "getVersionWithCompletion:",
      "uninstallHelperWithCompletion:",
      "setSystemProxyWithHost:httpPort:socksPort:completion:",
      "clearSystemProxyWithCompletion:",
      "flushDNSWithCompletion:",
      "startProxyWithConfig:completion:",
      "stopProxyWithCompletion:",
      "reloadProxyWithConfig:completion:",
      "getProxyStatusWithCompletion:",
      "selectOutboundWithGroupTag:outboundTag:completion:",
      "setRouteModeWithMode:completion:",
      "getTrafficStatsWithCompletion:",
      "updateTunWithEnable:completion:",
      "kernelQueryWithMethod:data:completion:",
      "installKernelWithBinaryData:completion:",
      "getKernelVersionWithCompletion:",
  };
  const auto& methods = HelperProtocol::methods();
  ASSERT_EQ(methods.size(), expected.size());
  for (size_t i = 0; i < methods.size(); ++i) {
    EXPECT_EQ(methods[i].selector, expected[i]);
    EXPECT_EQ(methods[i].slot, int(i) + 1);
  }
}

// Checks request arguments of `selector` against the shared interface.
bool argsOk(const char* selector, const IpcValue& args) {
  const auto* m = HelperProtocol::interface()->method(selector);
  return m && !IpcInterface::check(m->args, args);
}
bool replyOk(const char* selector, const IpcValue& reply) {
  const auto* m = HelperProtocol::interface()->method(selector);
  return m && !IpcInterface::check(m->reply, reply);
}

TEST(HelperProtocolTable, RequestArgumentTypes) {
  const char* sp = HelperProtocol::setSystemProxy;
  EXPECT_TRUE(argsOk(sp, {"127.0.0.1", 7890, 7891}));
  EXPECT_TRUE(argsOk(sp, {"h", -5, INT64_MAX}));
  EXPECT_TRUE(argsOk(sp, {"h", INT64_MIN, uint64_t(INT64_MAX)}));
  EXPECT_FALSE(argsOk(sp, {"h", uint64_t(INT64_MAX) + 1, 1}));  // does not fit Int
  EXPECT_FALSE(argsOk(sp, {"h", 1.0, 1}));
  EXPECT_FALSE(argsOk(sp, {"h", "7890", 1}));
  EXPECT_FALSE(argsOk(sp, {"h", 1}));
  EXPECT_FALSE(argsOk(sp, {"h", 1, 2, 3}));
  EXPECT_FALSE(argsOk(sp, {nullptr, 1, 2}));  // host is not optional
  EXPECT_FALSE(argsOk(sp, IpcValue::object()));

  EXPECT_TRUE(argsOk(HelperProtocol::updateTun, {true}));
  EXPECT_FALSE(argsOk(HelperProtocol::updateTun, {1}));
  EXPECT_TRUE(argsOk(HelperProtocol::getVersion, IpcValue::array()));
  EXPECT_FALSE(argsOk(HelperProtocol::getVersion, {1}));
  EXPECT_TRUE(argsOk(HelperProtocol::kernelQuery, {"proxies", ""}));
  EXPECT_FALSE(argsOk("getVersion", IpcValue::array()));  // not a selector
}

// Note: a braced list holding one IpcValue copies it instead of making an
// array, so one-element argument lists are spelled IpcValue::array(...).
TEST(HelperProtocolTable, ClassAllowances) {
  const char* install = HelperProtocol::installKernel;
  EXPECT_TRUE(argsOk(install, IpcValue::array({IpcValue::binary({0x7f, 'E', 'L', 'F'})})));
  EXPECT_FALSE(argsOk(install, {"ELF"}));
  EXPECT_FALSE(argsOk(install, IpcValue::array({{{"$class", "NSData"}}})));
  EXPECT_FALSE(argsOk(install, {nullptr}));

  const char* status = HelperProtocol::getProxyStatus;
  EXPECT_TRUE(replyOk(status, IpcValue::array({ProxyStatus::stoppedRecord().toArchive()})));
  EXPECT_TRUE(replyOk(status, {"a string is admitted"}));
  EXPECT_TRUE(replyOk(status, {nullptr}));
  EXPECT_FALSE(replyOk(status, IpcValue::array({{{"$class", "NSDictionary"}}})));
  EXPECT_FALSE(replyOk(status, IpcValue::array({IpcValue::binary({1})})));
  EXPECT_FALSE(replyOk(status, IpcValue::array({{{"isRunning", true}}})));

  // Without the allowances no class gets through.
  auto bare = HelperProtocol::makeInterface();
  EXPECT_TRUE(IpcInterface::check(bare->method(status)->reply,
                                  IpcValue::array({ProxyStatus::stoppedRecord().toArchive()})));
  EXPECT_TRUE(
      IpcInterface::check(bare->method(install)->args, IpcValue::array({IpcValue::binary({1})})));
}

TEST(HelperProtocolTable, ReplyTypes) {
  EXPECT_TRUE(replyOk(HelperProtocol::getVersion, {"1.0.5"}));
  EXPECT_FALSE(replyOk(HelperProtocol::getVersion, {nullptr}));  // never nil
  EXPECT_TRUE(replyOk(HelperProtocol::getKernelVersion, {nullptr}));
  EXPECT_TRUE(replyOk(HelperProtocol::startProxy, {false, "why"}));
  EXPECT_TRUE(replyOk(HelperProtocol::startProxy, {true, nullptr}));
  EXPECT_FALSE(replyOk(HelperProtocol::startProxy, {true}));
  EXPECT_TRUE(replyOk(HelperProtocol::getTrafficStats, {0, 1, 2, 3}));
  EXPECT_FALSE(replyOk(HelperProtocol::getTrafficStats, {0, 1, 2, nullptr}));
}

}  // namespace
}  // namespace zelvo
