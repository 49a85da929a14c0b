// The checks the HelperProtocol interface applies to request arguments and
// replies: range edges, types, and the two class allowances.
#include "service/helper_protocol.h"

#include <gtest/gtest.h>

#include "service/proxy_status.h"

namespace zelvo {
namespace {

using platform::IpcInterface;
using platform::IpcValue;

// A braced list holding one IpcValue copies it instead of making an array,
// so one-element lists are spelled IpcValue::array(...).
TEST(HelperProtocolTable, ArgumentsAndRepliesAreCheckedAgainstTheTable) {
  const char* sp = HelperProtocol::setSystemProxy;
  const char* install = HelperProtocol::installKernel;
  const char* status = HelperProtocol::getProxyStatus;
  const IpcValue stopped = IpcValue::array({ProxyStatus::stoppedRecord().toArchive()});
  struct Case {
    const char* selector;
    bool ofReply;
    IpcValue values;
    bool ok;
  };
  const Case cases[] = {
      {sp, false, {"127.0.0.1", 7890, 7891}, true},
      {sp, false, {"h", INT64_MIN, uint64_t(INT64_MAX)}, true},
      {sp, false, {"h", 1.0, 1}, false},
      {sp, false, IpcValue::object(), false},
      {HelperProtocol::getVersion, false, IpcValue::array(), true},
      {HelperProtocol::kernelQuery, false, {"proxies", ""}, true},
      {install, false, IpcValue::array({IpcValue::binary({0x7f, 'E', 'L', 'F'})}), true},
      {install, false, IpcValue::array({{{"$class", "NSData"}}}), false},  // a map claiming it
      {install, false, {nullptr}, false},
      {status, true, stopped, true},
      {status, true, {"a string is admitted"}, true},
      {status, true, {nullptr}, true},
      {status, true, IpcValue::array({{{"$class", "NSDictionary"}}}), false},
      {status, true, IpcValue::array({IpcValue::binary({1})}), false},
      {status, true, IpcValue::array({{{"isRunning", true}}}), false},
      {HelperProtocol::getVersion, true, {"1.0.5"}, true},
      {HelperProtocol::getVersion, true, {nullptr}, false},  // never nil
      {HelperProtocol::getKernelVersion, true, {nullptr}, true},
      {HelperProtocol::startProxy, true, {false, "why"}, true},
      {HelperProtocol::startProxy, true, {true, nullptr}, true},
      {HelperProtocol::startProxy, true, {true}, false},
      {HelperProtocol::getTrafficStats, true, {0, 1, 2, 3}, true},
      {HelperProtocol::getTrafficStats, true, {0, 1, 2, nullptr}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.selector) + (c.ofReply ? " reply " : " args ") + c.values.dump());
    const auto* m = HelperProtocol::interface()->method(c.selector);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(!IpcInterface::check(c.ofReply ? m->reply : m->args, c.values), c.ok);
  }

  // Without the allowances no class gets through.
  auto bare = HelperProtocol::makeInterface();
  EXPECT_TRUE(IpcInterface::check(bare->method(status)->reply, stopped));
  EXPECT_TRUE(
      IpcInterface::check(bare->method(install)->args, IpcValue::array({IpcValue::binary({1})})));
}

}  // namespace
}  // namespace zelvo
