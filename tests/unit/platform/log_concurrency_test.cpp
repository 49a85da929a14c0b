// Whole lines from many threads, and the syslog gate's probing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "unit/unit_support.h"

namespace zelvo::platform {
namespace {

using namespace std::chrono_literals;

// Some lines are longer than a pipe holds, so a pipe takes them in pieces;
// '%' directives stay literal.
std::string lineFor(int thread, int index) {
  return "[Helper] %s%n t" + std::to_string(thread) + " #" + std::to_string(index) + " " +
         std::string(index % 4 == 0 ? 100000 : 300, static_cast<char>('a' + thread)) + " end";
}

TEST(SystemLogConcurrency, EightThreadsProduceWholeLinesThroughAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  std::string out;
  std::thread reader([&] {
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) systemLog(lineFor(t, i));
    });
  }
  for (auto& th : threads) th.join();
  dup2(saved, STDERR_FILENO);  // the pipe's last writer goes: the reader sees its end
  close(saved);
  reader.join();
  close(fds[0]);
  std::multiset<std::string> expected, written;
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < 100; ++i) expected.insert(lineFor(t, i));
  }
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) written.insert(line);
  EXPECT_TRUE(written == expected) << "torn, altered, lost or repeated lines";
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
