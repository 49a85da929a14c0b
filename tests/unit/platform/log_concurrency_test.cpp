// Lines logged from many threads at once stay whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

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

}  // namespace
}  // namespace zelvo::platform
