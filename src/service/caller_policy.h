// CallerPolicy: who may change the machine through the helper.
//
// Every connection is accepted, and classed once, at accept, from the
// credentials the kernel reports for it: an owner (root, a member of the
// owner group, or a listed uid) may make every request; an observer may only
// read versions and status. The helper runs what owners upload as root, so
// this is what stands between a local user and root.
//
// Immutable after construction; safe from any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace zelvo {

enum class CallerClass { Owner, Observer };

class CallerPolicy {
 public:
  static constexpr const char* kDefaultOwnerGroup = "zelvo";
  // The largest frame an observer may send: its requests carry no payload.
  static constexpr uint32_t kObserverMaxFrame = 64 * 1024;

  // Owners: root, members of `ownerGroup` (looked up now; a group that does
  // not exist adds nobody) and `ownerUids`; everyone when `allowAnyCaller`.
  CallerPolicy(const std::string& ownerGroup, std::vector<uid_t> ownerUids, bool allowAnyCaller);
  // Root only, for tests and tools that build a Helper without options.
  CallerPolicy() = default;

  CallerClass classify(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const;
  // Whether an observer may make the request in this HelperProtocol slot:
  // versions, status and traffic counters only.
  static bool observerMay(int slot);

 private:
  std::optional<gid_t> ownerGid_;
  std::vector<uid_t> ownerUids_;
  bool allowAnyCaller_ = false;
};

}  // namespace zelvo
