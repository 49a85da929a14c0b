// Account lookups (a group by name, a user by id) against the host's account
// databases, asked of getent in a child process. Asking NSS in-process would
// load the host's NSS modules into the daemon for good: libnss_systemd and
// the libraries it links map about 750 KiB into a process that otherwise
// idles in well under 4 MiB. Where getent cannot be run, the lookup is made
// in-process after all; one getent that had to be cut off finds nothing.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace zelvo::platform {

std::optional<gid_t> lookupGroupId(const std::string& name);

struct UserAccount {
  std::string name;
  gid_t gid = 0;
  std::string home;
  std::vector<gid_t> groups;  // the primary group first, then the supplementary ones
};
std::optional<UserAccount> lookupUser(uid_t uid);

}  // namespace zelvo::platform
