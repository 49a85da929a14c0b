// The DNS cache flush: the host back end empties the caches; this is the
// request around it.
#include "host/host_backend.h"
#include "platform/dispatch.h"
#include "service/helper.h"

namespace zelvo {

void Helper::flushDNS(BoolReply completion) {
  log("flushDNS called");
  std::weak_ptr<Helper> weakSelf = weak();
  // The back end is held strongly: the commands run whether or not the
  // Helper still exists; only the result line needs it.
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, host = host_, completion = std::move(completion)] {
        const host::HostBackend::FlushResult result = host->flushDNS();
        platform::mainQueue().async([weakSelf, result, completion] {
          if (weakSelf.lock()) log("flushDNS result: " + result.summary);
          completion(result.ok);
        });
      });
}

}  // namespace zelvo
