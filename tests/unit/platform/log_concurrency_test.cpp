// Whole lines from many threads, and the syslog gate's probing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

#include "platform/log.h"
#include "unit/unit_support.h"

namespace zelvo::platform {
namespace {

using namespace std::chrono_literals;

// Long enough that a torn write would show; '%' directives stay literal.
std::string lineFor(int thread, int index) {
  return "[Helper] %s%n t" + std::to_string(thread) + " #" + std::to_string(index) + " " +
         std::string(300, static_cast<char>('a' + thread)) + " end";
}

TEST(SystemLogConcurrency, EightThreadsProduceWholeLines) {
  unit::TempDir dir;
  const std::string path = dir.path + "/stderr";
  const int saved = dup(STDERR_FILENO);
  ASSERT_TRUE(freopen(path.c_str(), "a", stderr));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 400; ++i) systemLog(lineFor(t, i));
    });
  }
  for (auto& th : threads) th.join();
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::multiset<std::string> expected, written;
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < 400; ++i) expected.insert(lineFor(t, i));
  }
  std::ifstream in(path);
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

}  // namespace
}  // namespace zelvo::platform
