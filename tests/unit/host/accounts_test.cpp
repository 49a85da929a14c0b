// Account lookups, answered by getent in a child process, against the C
// library's own lookups in this process: for every user and group the host
// has, the same answers; for names that are not there, none.
#include "platform/accounts.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <algorithm>

namespace zelvo::platform {
namespace {

TEST(Accounts, GetentAnswersForEveryUserAndGroupAsTheCLibraryDoes) {
  std::vector<UserAccount> expected;
  std::vector<uid_t> uids;
  ::setpwent();
  while (const passwd* pw = ::getpwent()) {
    uids.push_back(pw->pw_uid);
    expected.push_back({pw->pw_name, pw->pw_gid, pw->pw_dir, {}});
  }
  ::endpwent();
  ASSERT_GE(expected.size(), 2u);
  for (size_t i = 0; i < expected.size(); ++i) {
    UserAccount& want = expected[i];
    if (::getpwuid(uids[i])->pw_name != want.name) continue;  // a uid listed twice
    int count = 256;
    want.groups.resize(size_t(count));
    ASSERT_GE(::getgrouplist(want.name.c_str(), want.gid, want.groups.data(), &count), 0);
    want.groups.resize(size_t(count));
    std::ranges::sort(want.groups);
    auto got = lookupUser(uids[i]);
    ASSERT_TRUE(got) << want.name;
    EXPECT_EQ(got->groups.front(), want.gid) << want.name;
    std::ranges::sort(got->groups);
    EXPECT_EQ(std::tie(got->name, got->gid, got->home, got->groups),
              std::tie(want.name, want.gid, want.home, want.groups));
  }
  ::setgrent();
  std::vector<std::pair<std::string, gid_t>> groups;
  while (const group* g = ::getgrent()) groups.emplace_back(g->gr_name, g->gr_gid);
  ::endgrent();
  for (const auto& [name, gid] : groups) EXPECT_EQ(lookupGroupId(name), gid) << name;

  EXPECT_EQ(lookupGroupId("zelvo-no-such-group"), std::nullopt);
  EXPECT_EQ(lookupGroupId("--help"), std::nullopt);
  EXPECT_EQ(lookupUser(uid_t(4242424242)), std::nullopt);
}

}  // namespace
}  // namespace zelvo::platform
