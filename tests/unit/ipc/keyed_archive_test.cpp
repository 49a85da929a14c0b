// The keyed archive and ProxyStatus's encoding in it: the exact wire keys,
// secure decoding by allowed class, and defaults for missing keys.
#include "platform/keyed_archive.h"

#include <gtest/gtest.h>

#include "service/proxy_status.h"

namespace zelvo {
namespace {

using platform::Error;
using platform::IpcValue;

TEST(KeyedArchive, ProxyStatusKeepsItsWireKeysInFieldOrderAndRoundTrips) {
  ProxyStatus s{true, 7890, 7891, "rule", 123, 4567890123, std::nullopt};
  IpcValue a = s.toArchive();
  std::vector<std::string> keys;
  for (auto it = a.begin(); it != a.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"$class", "isRunning", "httpPort", "socksPort", "mode",
                                            "uplink", "downlink"}));
  EXPECT_EQ(a["$class"], "ProxyStatus");
  EXPECT_EQ(a["downlink"], 4567890123);

  s.errorMessage = "boom";
  EXPECT_EQ(s.toArchive()["errorMessage"], "boom");
  for (const ProxyStatus& r :
       {s, ProxyStatus::stoppedRecord(), ProxyStatus{true, 1, 2, "global", -1, INT64_MAX, "错误"},
        ProxyStatus{false, 0, 65535, "", 0, 0, std::string()}}) {
    auto bytes = IpcValue::to_msgpack(r.toArchive());
    EXPECT_EQ(ProxyStatus::fromArchive(IpcValue::from_msgpack(bytes)), r);
  }
}

TEST(KeyedArchive, MissingKeysTakeTheFieldDefaults) {
  ProxyStatus s = ProxyStatus::fromArchive({{"$class", "ProxyStatus"}, {"httpPort", 8080}});
  EXPECT_FALSE(s.isRunning);
  EXPECT_EQ(s.httpPort, 8080);
  EXPECT_EQ(s.socksPort, 0);
  EXPECT_EQ(s.mode, "");
  EXPECT_EQ(s.uplink, 0);
  EXPECT_EQ(s.downlink, 0);
  EXPECT_EQ(s.errorMessage, std::nullopt);
  // A nil errorMessage is the same as an absent one.
  EXPECT_EQ(
      ProxyStatus::fromArchive({{"$class", "ProxyStatus"}, {"errorMessage", nullptr}}).errorMessage,
      std::nullopt);
}

TEST(KeyedArchive, RefusesClassesThatAreNotAllowed) {
  auto expectRefused = [](const IpcValue& v) {
    try {
      ProxyStatus::fromArchive(v);
      ADD_FAILURE() << "accepted " << v.dump();
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "NSCocoaErrorDomain");
      EXPECT_EQ(e.code(), 4864);
    }
  };
  expectRefused({{"$class", "NSDictionary"}, {"isRunning", true}});
  expectRefused({{"isRunning", true}});  // no class at all
  expectRefused({{"$class", 5}});
  expectRefused("ProxyStatus");  // a string is an NSString, not a ProxyStatus
  expectRefused(IpcValue::array());
  // A field of the wrong type is corrupt, not silently defaulted.
  expectRefused({{"$class", "ProxyStatus"}, {"httpPort", "7890"}});
  expectRefused({{"$class", "ProxyStatus"}, {"isRunning", 1}});
  expectRefused({{"$class", "ProxyStatus"}, {"uplink", uint64_t(1) << 63}});
}

}  // namespace
}  // namespace zelvo
