// The listening control socket: creation, limits and errors, and that
// tearing it down wakes a writer blocked on the connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

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

TEST_F(ControlSocketTest, UnusablePathsFailWithTheirReasonAndLeaveNoListener) {
  const struct {
    std::string path, text;
    int code;  // 0: not checked
  } cases[] = {{pathOfLength(104), "socket path too long failed: ", 0},
               {sandboxRoot() + "/no/such/dir/control.sock",
                "bind failed: No such file or directory", ENOENT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      m->setupControlSocket(c.path);
      ADD_FAILURE() << "expected an error";
    } catch (const platform::Error& e) {
      EXPECT_EQ(e.domain(), "KernelProcessManager");
      EXPECT_EQ(e.localizedDescription().rfind(c.text, 0), 0u) << e.localizedDescription();
      if (c.code) {
        EXPECT_EQ(e.code(), c.code);
      }
    }
    EXPECT_EQ(m->listenFd(), -1);
  }
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
