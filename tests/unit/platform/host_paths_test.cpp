// The root and the private temporary directory; the error type.
#include "platform/host_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/error.h"

namespace zelvo::platform {
namespace {

namespace fs = std::filesystem;

// Gives each test its own root and puts "/" back afterwards.
class HostPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zelvo-root-XXXXXX";
    dir_ = mkdtemp(tmpl);
    setRoot(dir_);
  }
  void TearDown() override {
    setRoot("/");
    fs::remove_all(dir_);
  }
  std::string tmpDir() const {
    return dir_ + "/private/var/tmp/zelvo-helper-" + std::to_string(geteuid());
  }
  // The private temporary directory exists as a real directory, mode 0700,
  // owned by us.
  void expectPrivate() const {
    struct stat st {};
    ASSERT_EQ(lstat(tmpDir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
  }
  std::string dir_;
};

TEST_F(HostPathsTest, PathsResolveUnderTheRootWhateverItsSpelling) {
  EXPECT_EQ(hostPath("/usr/bin/pgrep"), dir_ + "/usr/bin/pgrep");
  setRoot(dir_ + "///");
  EXPECT_EQ(root(), dir_);
  setRoot("/");
  EXPECT_EQ(root(), "/");
  EXPECT_EQ(hostPath("/usr/sbin/networksetup"), "/usr/sbin/networksetup");

  auto cwd = fs::current_path();
  fs::current_path(dir_);
  setRoot("sub/root/");
  fs::current_path(cwd);
  EXPECT_EQ(root(), dir_ + "/sub/root");
  EXPECT_EQ(hostPath("/bin/launchctl"), dir_ + "/sub/root/bin/launchctl");

  for (auto [a, b, joined] : {std::tuple{"/a", "b", "/a/b"},
                              {"/a/", "b", "/a/b"},
                              {"/a//", "//b", "/a/b"},
                              {"/a", "/b/c", "/a/b/c"},
                              {"/", "b", "/b"},
                              {"/", "/b", "/b"},
                              {"/a", "b/", "/a/b/"},
                              {"rel", "x", "rel/x"}}) {
    EXPECT_EQ(joinPath(a, b), joined) << a << " + " << b;
  }
}

TEST_F(HostPathsTest, PrivateTemporaryDirectoryIsCreatedOwnedAndClosed) {
  mode_t old = umask(0);  // a careless umask must not loosen the mode
  std::string d = privateTemporaryDirectory();
  umask(old);
  EXPECT_EQ(d, tmpDir() + "/");
  expectPrivate();
  // A second call keeps what is there, contents included.
  std::ofstream(tmpDir() + "/keep") << "x";
  EXPECT_EQ(privateTemporaryDirectory(), d);
  EXPECT_TRUE(fs::exists(tmpDir() + "/keep"));
}

// Whatever was planted at its path (a symlink to elsewhere, a file, a
// directory others may write into) is replaced; a symlink's target is left
// untouched.
TEST_F(HostPathsTest, PlantedEntriesAreReplaced) {
  fs::create_directories(dir_ + "/private/var/tmp");
  std::string elsewhere = dir_ + "/elsewhere";
  fs::create_directories(elsewhere);
  chmod(elsewhere.c_str(), 0700);
  std::ofstream(elsewhere + "/precious") << "data";
  ASSERT_EQ(symlink(elsewhere.c_str(), tmpDir().c_str()), 0);
  EXPECT_EQ(privateTemporaryDirectory(), tmpDir() + "/");
  expectPrivate();
  EXPECT_TRUE(fs::exists(elsewhere + "/precious"));

  fs::remove_all(tmpDir());
  std::ofstream(tmpDir()) << "not a directory";
  privateTemporaryDirectory();
  expectPrivate();

  chmod(tmpDir().c_str(), 0777);
  std::ofstream(tmpDir() + "/planted") << "x";
  privateTemporaryDirectory();
  expectPrivate();
  EXPECT_FALSE(fs::exists(tmpDir() + "/planted"));
}

TEST_F(HostPathsTest, UncreatableDirectoryThrowsError) {
  // A file where a parent directory should be.
  fs::create_directories(dir_ + "/private/var");
  std::ofstream(dir_ + "/private/var/tmp") << "file";
  try {
    privateTemporaryDirectory();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "NSPOSIXErrorDomain");
    EXPECT_NE(e.code(), 0);
  }
}

TEST(ErrorTest, FromErrnoCarriesDomainCodeAndDescription) {
  Error plain = Error::fromErrno(ENOENT);
  EXPECT_EQ(plain.domain(), "NSPOSIXErrorDomain");
  EXPECT_EQ(plain.code(), ENOENT);
  EXPECT_EQ(plain.localizedDescription(), "No such file or directory");
  EXPECT_STREQ(plain.what(), "No such file or directory");

  Error withContext = Error::fromErrno(EACCES, "/usr/sbin/networksetup");
  EXPECT_EQ(withContext.code(), EACCES);
  EXPECT_EQ(withContext.localizedDescription(), "/usr/sbin/networksetup: Permission denied");
}

}  // namespace
}  // namespace zelvo::platform
