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
  std::string dir_;
};

TEST_F(HostPathsTest, PathsResolveUnderTheRoot) {
  EXPECT_EQ(root(), dir_);
  EXPECT_EQ(hostPath("/usr/bin/pgrep"), dir_ + "/usr/bin/pgrep");
  EXPECT_EQ(hostPath("/var/run/com.zelvo.svc.helper.sock"),
            dir_ + "/var/run/com.zelvo.svc.helper.sock");

  setRoot(dir_ + "///");
  EXPECT_EQ(root(), dir_);
  setRoot("/");
  EXPECT_EQ(root(), "/");
  EXPECT_EQ(hostPath("/usr/sbin/networksetup"), "/usr/sbin/networksetup");
  EXPECT_EQ(hostPath("/Library/Application Support/com.zelvo.svc"),
            "/Library/Application Support/com.zelvo.svc");
}

TEST_F(HostPathsTest, RelativeRootIsMadeAbsolute) {
  auto cwd = fs::current_path();
  fs::current_path(dir_);
  setRoot("sub/root/");
  fs::current_path(cwd);
  EXPECT_EQ(root(), dir_ + "/sub/root");
  EXPECT_EQ(hostPath("/bin/launchctl"), dir_ + "/sub/root/bin/launchctl");
}

TEST(JoinPath, ExactlyOneSlashBetween) {
  EXPECT_EQ(joinPath("/a", "b"), "/a/b");
  EXPECT_EQ(joinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(joinPath("/a//", "//b"), "/a/b");
  EXPECT_EQ(joinPath("/a", "/b/c"), "/a/b/c");
  EXPECT_EQ(joinPath("/", "b"), "/b");
  EXPECT_EQ(joinPath("/", "/b"), "/b");
  EXPECT_EQ(joinPath("/a", "b/"), "/a/b/");
  EXPECT_EQ(joinPath("rel", "x"), "rel/x");
}

void expectPrivate(const std::string& dir) {
  struct stat st {};
  ASSERT_EQ(lstat(dir.c_str(), &st), 0) << dir;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(HostPathsTest, PrivateTemporaryDirectoryIsCreatedOwnedAndClosed) {
  mode_t old = umask(0);  // a careless umask must not loosen the mode
  std::string d = privateTemporaryDirectory();
  umask(old);
  EXPECT_EQ(d, tmpDir() + "/");
  expectPrivate(tmpDir());
  // A second call keeps what is there, contents included.
  std::ofstream(tmpDir() + "/keep") << "x";
  EXPECT_EQ(privateTemporaryDirectory(), d);
  EXPECT_TRUE(fs::exists(tmpDir() + "/keep"));
}

TEST_F(HostPathsTest, PlantedSymlinkIsReplacedAndItsTargetUntouched) {
  fs::create_directories(dir_ + "/private/var/tmp");
  std::string elsewhere = dir_ + "/elsewhere";
  fs::create_directories(elsewhere);
  chmod(elsewhere.c_str(), 0700);
  std::ofstream(elsewhere + "/precious") << "data";
  ASSERT_EQ(symlink(elsewhere.c_str(), tmpDir().c_str()), 0);

  std::string d = privateTemporaryDirectory();
  EXPECT_EQ(d, tmpDir() + "/");
  expectPrivate(tmpDir());
  EXPECT_FALSE(fs::is_symlink(tmpDir()));
  EXPECT_TRUE(fs::exists(elsewhere + "/precious"));
}

TEST_F(HostPathsTest, PlantedFileAndLooseDirectoryAreReplaced) {
  fs::create_directories(dir_ + "/private/var/tmp");
  std::ofstream(tmpDir()) << "not a directory";
  privateTemporaryDirectory();
  expectPrivate(tmpDir());

  chmod(tmpDir().c_str(), 0777);
  std::ofstream(tmpDir() + "/planted") << "x";
  privateTemporaryDirectory();
  expectPrivate(tmpDir());
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

  Error copy = withContext;
  EXPECT_EQ(copy.localizedDescription(), withContext.localizedDescription());
}

}  // namespace
}  // namespace zelvo::platform
