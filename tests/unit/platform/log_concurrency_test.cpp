// Whole lines from many threads, and the syslog gate's probing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
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

// Standard error is a socket that takes nothing (a journal that stalled) while
// eight threads log: none of them waits, and what it takes later is whole
// lines, each thread's in order, up to a bound, then the count of the rest.
TEST(SystemLogConcurrency, EightThreadsNeitherWaitOnAStalledStreamNorTearItsLines) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const int small = 4096;
  const timeval patience{10, 0};
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
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
  for (ssize_t n;
       out.find("took nothing\n") == std::string::npos && (n = read(sv[1], buf, sizeof buf)) > 0;) {
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

TEST(SyslogGate, ProbesAtMostOncePerIntervalAndFollowsTheLastAnswer) {
  int probes = 0;
  bool answer = false;
  detail::SyslogGate gate([&] { return ++probes, answer; }, 1s);
  const auto t0 = detail::SyslogGate::Clock::time_point{} + 100h;
  const struct {
    std::chrono::milliseconds at;
    bool answer, allowed;
    int probes;
  } steps[] = {
      {0ms, false, false, 1},     // the first line probes
      {1ms, true, false, 1},      // back up, unnoticed until the next probe
      {1000ms, true, true, 2},    // one interval on: probed again
      {1999ms, false, true, 2},   // the next probe is due an interval after the
      {2000ms, false, false, 3},  // last one, not after the last line
      {3600s, true, true, 4},     // after a long quiet spell the next line probes
  };
  for (const auto& s : steps) {
    answer = s.answer;
    EXPECT_EQ(gate.allow(t0 + s.at), s.allowed) << s.at.count() << " ms";
    EXPECT_EQ(probes, s.probes) << s.at.count() << " ms";
  }
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

}  // namespace
}  // namespace zelvo::platform
