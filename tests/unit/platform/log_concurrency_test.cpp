// Lines logged from many threads at once stay whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/log.h"

namespace zelvo::platform {
namespace {

std::string lineFor(int thread, int index) {
  // Long enough that a torn write would show, with a shape a reader can check.
  return "[Helper] t" + std::to_string(thread) + " #" + std::to_string(index) + " " +
         std::string(300, static_cast<char>('a' + thread)) + " end";
}

TEST(SystemLogConcurrency, EightThreadsProduceWholeLines) {
  constexpr int kThreads = 8, kLines = 400;
  char tmpl[] = "/tmp/zelvo-logc-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  int out = open(tmpl, O_WRONLY | O_APPEND | O_CLOEXEC);
  int saved = dup(STDERR_FILENO);
  dup2(out, STDERR_FILENO);
  close(out);

  std::vector<std::string> captured;
  {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) systemLog(lineFor(t, i));
      });
    }
    for (auto& th : threads) th.join();
    captured = capture.lines();
  }
  dup2(saved, STDERR_FILENO);
  close(saved);

  std::ifstream in(tmpl);
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) expected.insert(lineFor(t, i));
  }
  std::set<std::string> written;
  std::string line;
  size_t total = 0;
  while (std::getline(in, line)) {
    ++total;
    EXPECT_TRUE(expected.count(line)) << "torn or foreign line: " << line.substr(0, 80);
    written.insert(line);
  }
  unlink(tmpl);
  EXPECT_EQ(total, expected.size());
  EXPECT_EQ(written, expected);
  EXPECT_EQ(captured.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(captured.begin(), captured.end()), expected);
}

// Many threads logging through the gate at once: one probe per interval at
// most, however many lines cross it, and every caller sees an answer.
TEST(SyslogGateConcurrency, OneProbePerIntervalAcrossThreads) {
  using namespace std::chrono_literals;
  constexpr int kThreads = 8, kSteps = 2000;
  constexpr auto kStep = 250us;  // four steps per interval
  std::atomic<int> probes{0}, inProbe{0}, overlapped{0};
  detail::SyslogGate gate(
      [&] {
        if (inProbe.fetch_add(1) != 0) overlapped.fetch_add(1);
        probes.fetch_add(1);
        inProbe.fetch_sub(1);
        return true;
      },
      1ms);
  const auto t0 = detail::SyslogGate::Clock::time_point{} + 1h;
  std::atomic<int> passed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kSteps; ++i) {
        // Every thread walks the same fake clock; they race at each instant.
        if (gate.allow(t0 + i * kStep)) passed.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  const int intervals = kSteps / 4;  // the walk spans this many intervals
  EXPECT_GE(probes.load(), 1);
  EXPECT_LE(probes.load(), intervals);
  EXPECT_EQ(overlapped.load(), 0);
  EXPECT_GT(passed.load(), 0);
  const int before = probes.load();
  EXPECT_TRUE(gate.allow(t0 + kSteps * kStep + 1ms));
  EXPECT_EQ(probes.load(), before + 1);
}

}  // namespace
}  // namespace zelvo::platform
