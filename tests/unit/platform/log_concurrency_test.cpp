// Whole lines from many threads, the system log's socket, the journal stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "unit/unit_support.h"

namespace zelvo::platform {
namespace {

using namespace std::chrono_literals;

// Some lines are longer than a socket's buffer, so it takes them in pieces;
// '%' directives stay literal.
std::string lineFor(int thread, int index) {
  return "[Helper] %s%n t" + std::to_string(thread) + " #" + std::to_string(index) + " " +
         std::string(index % 10 == 0 ? 20000 : 300, static_cast<char>('a' + thread)) + " end";
}

// Standard error is a socket (a journal that stalled) or a pipe (a parent
// that stopped reading) that takes nothing while eight threads log: none of
// them waits, and what it takes later is whole lines, each thread's in
// order, up to a bound, then the count of the rest.
class StalledStream : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(SocketOrPipe, StalledStream, ::testing::Bool());

TEST_P(StalledStream, EightThreadsNeitherWaitOnItNorTearItsLines) {
  int sv[2];  // [0] written, [1] read
  if (GetParam()) {
    ASSERT_EQ(pipe(sv), 0);
    std::swap(sv[0], sv[1]);
    fcntl(sv[0], F_SETPIPE_SZ, 4096);
  } else {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  }
  const int saved = dup(STDERR_FILENO);
  dup2(sv[0], STDERR_FILENO);
  close(sv[0]);
  setLogToStderr(true);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &done] {
      for (int i = 0; i < 100; ++i) {
        const LogBatch batch;  // now and then two lines in one write
        systemLog(lineFor(t, i));
        if (i % 4 == 0) systemLog(lineFor(t, ++i));
      }
      ++done;
    });
  }
  const bool noneWaited = unit::eventually([&] { return done == 8; });
  std::string out;  // reading frees any that did wait
  char buf[65536];
  pollfd readable{sv[1], POLLIN, 0};
  for (ssize_t n; out.find("took nothing\n") == std::string::npos &&
                  poll(&readable, 1, 10000) > 0 && (n = read(sv[1], buf, sizeof buf)) > 0;) {
    out.append(buf, size_t(n));
  }
  for (auto& th : threads) th.join();
  dup2(saved, STDERR_FILENO);
  setLogToStderr(true);
  close(saved);
  close(sv[1]);
  EXPECT_TRUE(noneWaited);
  int last[8] = {-1, -1, -1, -1, -1, -1, -1, -1}, t = 0, i = 0, kept = 0, dropped = 0;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (std::sscanf(line.c_str(), "Log: %d lines dropped", &i) == 1) {
      dropped += i;
      continue;
    }
    ASSERT_EQ(std::sscanf(line.c_str(), "[Helper] %%s%%n t%d #%d", &t, &i), 2)
        << line.substr(0, 60);
    ASSERT_TRUE(t >= 0 && t < 8 && i > last[t] && line == lineFor(t, i)) << line.substr(0, 60);
    last[t] = i;
    ++kept;
  }
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(kept + dropped, 800) << "torn, lost or repeated lines";
}

// The system logger's socket: missing, then there but reading nothing, then
// refusing, then replaced by a restarted logger's, of the stream kind. No
// line waits, and none is lost unsaid: what is dropped is counted ahead of
// the next line taken. A missing or refusing socket is tried again once a
// second, a replaced one at once.
TEST(SyslogSender, NeverWaitsCountsWhatItDropsAndFollowsARestartedLogger) {
  const std::string path = ::testing::TempDir() + "log-" + std::to_string(getpid());
  sockaddr_un a{AF_UNIX, {}};
  path.copy(a.sun_path, sizeof a.sun_path - 1);
  auto listen = [&](int type) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);  // accept never waits
    unlink(path.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_TRUE(type != SOCK_STREAM || ::listen(fd, 4) == 0);
    return fd;
  };
  // What the logger got, each checked for syslog(3)'s form and cut to the line.
  const std::regex form("<29>[A-Z][a-z]{2} [ 123]\\d \\d\\d:\\d\\d:\\d\\d zelvo-test\\[" +
                        std::to_string(getpid()) + "\\]: (.*)");
  auto got = [&](int fd) {
    std::vector<std::string> out;
    char buf[4096];
    std::smatch m;
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
      const std::string text(buf, n);
      EXPECT_TRUE(std::regex_match(text, m, form)) << text;
      out.push_back(m[1]);
    }
    return out;
  };
  auto dropped = [](int n) {
    return "Log: " + std::to_string(n) + " lines dropped while the system log took nothing";
  };
  using Lines = std::vector<std::string>;
  detail::SyslogSender sender(path, "zelvo-test", 1s);
  const auto t0 = detail::SyslogSender::Clock::now();
  sender.send("a", t0);
  int logger = listen(SOCK_DGRAM);
  sender.send("b", t0 + 999ms);
  EXPECT_EQ(got(logger), Lines{});
  sender.send("c", t0 + 1s);
  EXPECT_EQ(got(logger), (Lines{dropped(2), "c"}));

  std::atomic<bool> done{false};
  std::thread stalled([&] {
    for (int i = 0; i < 5000; ++i) sender.send("#" + std::to_string(i), t0 + 1s);
    done = true;
  });
  const bool noneWaited = unit::eventually([&] { return done.load(); });
  if (!noneWaited) close(logger);  // lets a waiting send fail, so the test ends
  stalled.join();
  ASSERT_TRUE(noneWaited);
  const Lines taken = got(logger);
  for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], "#" + std::to_string(i));
  sender.send("d", t0 + 1s);
  EXPECT_EQ(got(logger), (Lines{dropped(5000 - static_cast<int>(taken.size())), "d"}));

  // Taken over by another reader: refused (EPERM) until the next try reaches a socket that reads.
  const int other = listen(SOCK_DGRAM);
  ASSERT_EQ(connect(logger, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  const int next = listen(SOCK_DGRAM);
  sender.send("x", t0 + 1s);
  sender.send("y", t0 + 2s);
  EXPECT_EQ(got(next), (Lines{dropped(1), "y"}));
  for (const int fd : {logger, other, next}) close(fd);
  const int restarted = listen(SOCK_STREAM);
  sender.send("e", t0 + 2s);
  logger = accept(restarted, nullptr, nullptr);
  EXPECT_EQ(got(logger), Lines{std::string("e\0", 2)});  // on a stream each ends with a NUL
  close(restarted);
  close(logger);
  unlink(path.c_str());
}

// Under systemd standard error goes to the journal and syslog would repeat it.
TEST(JournalStream, IsStandardErrorOnlyWhenItsDeviceAndInodeMatch) {
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  const std::string ino = ":" + std::to_string(st.st_ino), id = std::to_string(st.st_dev) + ino;
  EXPECT_TRUE(detail::isJournalStream(STDERR_FILENO, id.c_str()));
  for (const std::string& other : {id + "1", id + ":", std::to_string(st.st_dev + 1) + ino})
    EXPECT_FALSE(detail::isJournalStream(STDERR_FILENO, other.c_str())) << other;
  EXPECT_FALSE(detail::isJournalStream(STDERR_FILENO, nullptr));
}

// The time's text is made once a second, and still follows the clock, in local time.
TEST(LocalTimestamp, FollowsTheClockInLocalTime) {
  const std::string first = localTimestamp();
  ::setenv("TZ", "XST-13:17", 1);  // an offset from UTC that no real zone has
  ::tzset();
  std::this_thread::sleep_for(1100ms);
  const std::string stamp = localTimestamp(), utc = isoTimestampUtc();
  ::unsetenv("TZ");
  ::tzset();
  EXPECT_NE(stamp, first);
  EXPECT_NE(stamp.substr(11, 5), utc.substr(11, 5)) << stamp << " is UTC's time";
}

}  // namespace
}  // namespace zelvo::platform
