// Requests that change a running kernel without restarting it: outbound
// selection, routing mode and TUN. Each replies with the kernel's verdict;
// with no kernel connected the action fails at once and the reply is false.
#include "platform/dispatch.h"
#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {

void Helper::selectOutbound(const std::string& groupTag, const std::string& outboundTag,
                            BoolReply completion) {
  log("selectOutbound called: group=" + platform::forLog(groupTag) +
      ", outbound=" + platform::forLog(outboundTag));
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, groupTag, outboundTag, completion = std::move(completion)] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(false);
          return;
        }
        auto& manager = *self->processManager();
        const bool selected = manager.changeProxy(groupTag, outboundTag);
        // The client's global view follows every selection; its outcome does
        // not decide the reply.
        if (groupTag != "GLOBAL") manager.changeProxy("GLOBAL", outboundTag);
        if (selected) manager.closeConnections();
        completion(selected);
      });
}

void Helper::setRouteMode(const std::string& mode, BoolReply completion) {
  log("setRouteMode called: " + platform::forLog(mode));
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, mode, completion = std::move(completion)] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(false);
          return;
        }
        const bool applied = self->processManager()->setMode(mode);
        // Existing connections keep their old route until re-established.
        if (applied) self->processManager()->closeConnections();
        completion(applied);
      });
}

void Helper::updateTun(bool enable, BoolReply completion) {
  log(std::string("updateTun called: enable=") + (enable ? "true" : "false"));
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, enable, completion = std::move(completion)] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(false);
          return;
        }
        completion(self->processManager()->setTun(enable));
      });
}

}  // namespace zelvo
