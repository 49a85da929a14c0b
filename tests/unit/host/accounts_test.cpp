// Account lookups, answered by getent in a child process, against the C
// library's own lookups in this process: for every user and group the host
// has, the same answers; for names that are not there, none.
#include "platform/accounts.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

#include "platform/subprocess.h"

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

// A directory service that hangs (a FIFO over /etc/passwd that nobody
// writes) and a child held before the exec of a tool run as a user (a FIFO
// over /dev/null, as if that user had stopped it) each end in time.
TEST(Accounts, AHungLookupOrAUserToolHeldBeforeItsExecHoldsNobodyForEver) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounts over host files: needs root";
  const std::string fifo = ::testing::TempDir() + "zelvo-hung-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t child = ::fork();  // the mounts stay in its namespace
  if (child == 0) {
    ::alarm(30);  // a hang fails
    const Subprocess::Identity nobody{65534, 65534, {}};
    ::_exit(::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(fifo.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 || lookupUser(0) ||
            ::mount(fifo.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0 ||
            runTool("/bin/true", {}, {.identity = nobody}).launched);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader still waiting go
  ::unlink(fifo.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace zelvo::platform
