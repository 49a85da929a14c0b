// The client's read-only window into the kernel: whitelisted methods passed
// through the control socket unchanged, and the delay results the kernel
// pushed, answered from memory.
#include <nlohmann/json.hpp>
#include <set>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {

namespace {

// Only reads and delay tests get through; anything that changes the kernel
// goes through its own request, where it is logged and recorded.
const std::set<std::string>& kernelQueryWhitelist() {
  static const std::set<std::string> whitelist = {
      "getConnections", "getMemory",       "getProxies",           "getConfig",
      "getTraffic",     "getTotalTraffic", "getExternalProviders", "asyncTestDelay",
  };
  return whitelist;
}

}  // namespace

void Helper::kernelQuery(const std::string& method, const std::string& data,
                         const OptionalStringReply& completion) {
  auto& manager = *processManager_;

  if (method == "__pushedDelays") {
    if (!isKernelRunning()) {
      completion(std::nullopt);
      return;
    }
    const auto delays = manager.pushedDelays();
    if (delays.empty()) {
      completion(std::string("{}"));
      return;
    }
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [name, value] : delays) object[name] = value;
    try {
      completion(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } catch (const std::exception&) {
      completion(std::string("{}"));
    }
    return;
  }

  if (kernelQueryWhitelist().count(method) == 0) {
    log("kernelQuery 拒绝非白名单方法: " + platform::forLog(method));
    completion(std::nullopt);
    return;
  }
  if (!isKernelRunning()) {
    completion(std::nullopt);
    return;
  }
  const double timeout = method == "asyncTestDelay" ? 12.0 : 5.0;
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::Utility)
      .async([weakSelf, method, data, timeout, completion] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(std::nullopt);
          return;
        }
        completion(self->processManager()->query(method, data, timeout));
      });
}

}  // namespace zelvo
