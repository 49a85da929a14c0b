#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <charconv>
#include <sstream>

#include "platform/subprocess.h"

namespace zelvo::platform {

namespace {

// The real host's getent, not one under the root: the databases it reads are
// the host's, as they were for the in-process calls it replaces. A directory
// service that hangs must not hold a caller for ever.
constexpr const char* kGetent = "/usr/bin/getent";
constexpr double kGetentTimeoutSeconds = 10.0;

enum class Asked { Found, NotFound, Unavailable, Hung };

// getent's first output line for `key` in `database`; exit status 2 means
// the key is not there, anything else that is not a clean 0 means getent
// could not answer. One that had to be cut off (Hung) is not asked again in
// process: the same lookup would hang there, with no time-out.
Asked getent(const std::string& database, const std::string& key, std::string& line) {
  ToolOptions options;
  options.timeoutSeconds = kGetentTimeoutSeconds;
  const ToolResult r = runTool(kGetent, {database, "--", key}, options);
  if (r.timedOut || r.bySignal) return Asked::Hung;
  if (!r.launched) return Asked::Unavailable;
  if (r.status == 2) return Asked::NotFound;
  if (r.status != 0) return Asked::Unavailable;
  line = r.output.substr(0, r.output.find('\n'));
  return Asked::Found;
}

std::vector<std::string> fields(const std::string& line, char separator) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, separator);) out.push_back(field);
  if (!line.empty() && line.back() == separator) out.emplace_back();
  return out;
}

template <typename Id>
std::optional<Id> number(std::string_view text) {
  Id value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<gid_t> groupIdInProcess(const std::string& name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buf(16384);
  if (::getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || !found) {
    return std::nullopt;
  }
  return found->gr_gid;
}

std::optional<UserAccount> userInProcess(uid_t uid) {
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
  UserAccount account{pw.pw_name, pw.pw_gid, pw.pw_dir, {}};
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<size_t>(count));
  account.groups = std::move(groups);
  return account;
}

}  // namespace

std::optional<gid_t> lookupGroupId(const std::string& name) {
  // getent takes an all-digit key for a group id, not a name.
  if (name.empty() || std::ranges::all_of(name, [](char c) { return c >= '0' && c <= '9'; })) {
    return groupIdInProcess(name);
  }
  std::string line;
  const Asked asked = getent("group", name, line);
  if (asked == Asked::Unavailable) return groupIdInProcess(name);
  if (asked != Asked::Found) return std::nullopt;
  // name:password:gid:members
  const auto f = fields(line, ':');
  return f.size() >= 3 ? number<gid_t>(f[2]) : std::nullopt;
}

std::optional<UserAccount> lookupUser(uid_t uid) {
  std::string line;
  const Asked asked = getent("passwd", std::to_string(uid), line);
  if (asked == Asked::Unavailable) return userInProcess(uid);
  if (asked != Asked::Found) return std::nullopt;
  // name:password:uid:gid:gecos:home:shell
  const auto f = fields(line, ':');
  const auto gid = f.size() >= 7 ? number<gid_t>(f[3]) : std::nullopt;
  if (!gid || f[0].empty()) return std::nullopt;
  UserAccount account{f[0], *gid, f[5], {*gid}};

  // "name gid gid …": the groups initgroups() would give, the primary one
  // left out. A list that cannot be had leaves the primary group alone,
  // which is less than the user has and never more.
  if (getent("initgroups", account.name, line) == Asked::Found) {
    std::istringstream in(line);
    std::string word;
    in >> word;  // the name
    while (in >> word) {
      const auto id = number<gid_t>(word);
      if (id && std::ranges::find(account.groups, *id) == account.groups.end()) {
        account.groups.push_back(*id);
      }
    }
  }
  return account;
}

}  // namespace zelvo::platform
