// The listening control socket: creation, limits, errors and teardown, and
// that tearing it down wakes every thread blocked on it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "control_peer.h"

namespace zelvo::controltest {
namespace {

std::string pathOfLength(size_t n) {
  std::string dir = sandboxRoot() + "/s";
  std::filesystem::create_directories(dir);
  dir += "/";
  return dir + std::string(n - dir.size(), 'p');
}

struct ControlSocketTest : ::testing::Test {
  void SetUp() override {
    sandboxRoot();
    m = std::make_shared<KernelProcessManager>();
  }
  void TearDown() override { m->closeControlSocket(); }
  std::shared_ptr<KernelProcessManager> m;
};

TEST_F(ControlSocketTest, PathOf103BytesBindsWithMode0660AndIsLogged) {
  platform::LogCapture capture;
  const std::string path = pathOfLength(103);
  ASSERT_NO_THROW(m->setupControlSocket(path));
  EXPECT_GE(m->listenFd(), 0);

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(countMessage(capture, "Control socket listening at: " + path), 1u);

  // It really listens.
  const int fd = connectTo(path);
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);
  ::unlink(path.c_str());
}

TEST_F(ControlSocketTest, PathOf104BytesFailsAndLeavesListenerAlone) {
  const std::string path = pathOfLength(104);
  try {
    m->setupControlSocket(path);
    FAIL() << "expected an error";
  } catch (const platform::Error& e) {
    EXPECT_EQ(e.domain(), "KernelProcessManager");
    EXPECT_EQ(e.localizedDescription().rfind("socket path too long failed: ", 0), 0u)
        << e.localizedDescription();
  }
  EXPECT_EQ(m->listenFd(), -1);
}

TEST_F(ControlSocketTest, LeftoverFileAtThePathIsReplaced) {
  const std::string path = sandboxRoot() + "/leftover.sock";
  std::ofstream(path) << "not a socket";
  ASSERT_NO_THROW(m->setupControlSocket(path));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  ::unlink(path.c_str());
}

TEST_F(ControlSocketTest, BindFailureIsAPosixError) {
  try {
    m->setupControlSocket(sandboxRoot() + "/no/such/dir/control.sock");
    FAIL() << "expected an error";
  } catch (const platform::Error& e) {
    EXPECT_EQ(e.domain(), "KernelProcessManager");
    EXPECT_EQ(e.code(), ENOENT);
    EXPECT_EQ(e.localizedDescription(), "bind failed: No such file or directory");
  }
  EXPECT_EQ(m->listenFd(), -1);
}

TEST(PosixError, CarriesErrnoAndItsText) {
  errno = EACCES;
  const platform::Error e = KernelProcessManager::posixError("listen");
  EXPECT_EQ(e.domain(), "KernelProcessManager");
  EXPECT_EQ(e.code(), EACCES);
  EXPECT_EQ(e.localizedDescription(), "listen failed: Permission denied");
}

TEST_F(ControlSocketTest, CloseWithoutDescriptorsOnlyRemovesTheFile) {
  const std::string file = platform::joinPath(m->homeDir(), "control.sock");
  std::ofstream(file) << "x";
  m->closeControlSocket();
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(m->controlFd(), -1);
  EXPECT_EQ(m->listenFd(), -1);
}

TEST_F(ControlSocketTest, CloseWakesABlockedAccept) {
  platform::LogCapture capture;
  const std::string path = platform::joinPath(m->homeDir(), "control.sock");
  ASSERT_NO_THROW(m->setupControlSocket(path));
  auto drive = std::async(std::launch::async, [this] { m->acceptAndDrive(); });
  // Give the accept time to block; the test holds either way.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const auto t0 = Clock::now();
  m->closeControlSocket();
  ASSERT_EQ(drive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(secondsSince(t0), 2.0);
  EXPECT_EQ(countMessage(capture, "accept failed"), 1u);
  EXPECT_EQ(m->controlFd(), -1);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ControlSocketTest, CloseWakesABlockedWriterAndReaderAndThePeerSeesEndOfStream) {
  platform::LogCapture capture;
  Wired wired;  // reader running
  // The peer never reads, so a frame larger than the socket buffers blocks
  // its writer inside write().
  auto writer = std::async(std::launch::async, [&] {
    return wired.manager->writeFrame("1", "setupConfig", std::string(8 << 20, 'z'));
  });
  // Once bytes arrive the frame is being sent, and 8 MiB cannot fit in the
  // socket buffers: the writer is inside send().
  pollfd readable{wired.peerFd, POLLIN, 0};
  ASSERT_EQ(::poll(&readable, 1, 20000), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "the writer should be blocked on the full socket";

  const auto t0 = Clock::now();
  wired.manager->closeControlSocket();
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(writer.get());
  EXPECT_LT(secondsSince(t0), 2.0);
  EXPECT_TRUE(waitForMessage(capture, "reader loop 结束", 5));
  EXPECT_EQ(wired.manager->controlFd(), -1);

  // The kernel side sees the end of the stream even though the reader held a
  // duplicate of the connection: drain what was written, then EOF.
  char buf[65536];
  ssize_t n;
  while ((n = ::read(wired.peerFd, buf, sizeof buf)) > 0) {
  }
  EXPECT_EQ(n, 0);
}

}  // namespace
}  // namespace zelvo::controltest
