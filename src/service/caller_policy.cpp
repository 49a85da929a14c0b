#include "service/caller_policy.h"

#include <algorithm>

#include "platform/accounts.h"
#include "service/helper_protocol.h"

namespace zelvo {

CallerPolicy::CallerPolicy(const std::string& ownerGroup, std::vector<uid_t> ownerUids,
                           bool allowAnyCaller)
    : ownerUids_(std::move(ownerUids)), allowAnyCaller_(allowAnyCaller) {
  if (!ownerGroup.empty()) ownerGid_ = platform::lookupGroupId(ownerGroup);
}

CallerClass CallerPolicy::classify(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const {
  if (allowAnyCaller_ || uid == 0) return CallerClass::Owner;
  if (std::ranges::find(ownerUids_, uid) != ownerUids_.end()) return CallerClass::Owner;
  // Membership as the kernel reports it for the connecting process, not as
  // /etc/group says now: a user added to the group logs in again to use it.
  if (ownerGid_ && (gid == *ownerGid_ || std::ranges::find(groups, *ownerGid_) != groups.end())) {
    return CallerClass::Owner;
  }
  return CallerClass::Observer;
}

bool CallerPolicy::observerMay(int slot) {
  return slot == HelperProtocol::kGetVersion || slot == HelperProtocol::kGetKernelVersion ||
         slot == HelperProtocol::kGetProxyStatus || slot == HelperProtocol::kGetTrafficStats;
}

}  // namespace zelvo
