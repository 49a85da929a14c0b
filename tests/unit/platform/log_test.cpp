// The system log: literal lines, one write each, captures, timestamps.
#include "platform/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>

namespace zelvo::platform {
namespace {

// Sends standard error to a file for the life of the object, so the bytes
// systemLog() writes can be read back exactly.
class StderrToFile {
 public:
  StderrToFile() {
    char tmpl[] = "/tmp/zelvo-log-XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    close(fd);
    int out = open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    saved_ = dup(STDERR_FILENO);
    dup2(out, STDERR_FILENO);
    close(out);
  }
  ~StderrToFile() {
    restore();
    unlink(path_.c_str());
  }
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  std::string content() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
  int saved_ = -1;
};

TEST(SystemLog, FormatDirectivesAreWrittenVerbatim) {
  const std::string line = "[Helper] 2026-12-04 10:15:00: 100% %s%n%d %x %% %@ 内核";
  LogCapture capture;
  StderrToFile err;
  systemLog(line);
  err.restore();
  EXPECT_EQ(err.content(), line + "\n");
  EXPECT_EQ(capture.lines(), std::vector<std::string>{line});
}

TEST(SystemLog, EmptyLineIsJustANewline) {
  LogCapture capture;
  StderrToFile err;
  systemLog("");
  err.restore();
  EXPECT_EQ(err.content(), "\n");
  EXPECT_EQ(capture.lines(), std::vector<std::string>{""});
}

TEST(SystemLog, StderrCanBeSwitchedOffWhileCapturesStillSeeLines) {
  LogCapture capture;
  StderrToFile err;
  setLogToStderr(false);
  systemLog("quiet line");
  setLogToStderr(true);
  systemLog("loud line");
  err.restore();
  EXPECT_EQ(err.content(), "loud line\n");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"quiet line", "loud line"}));
}

TEST(LogCaptureTest, SeesOnlyLinesWrittenWhileItLivesAndFilters) {
  setLogToStderr(false);
  systemLog("before any capture");
  LogCapture outer;
  {
    LogCapture inner;
    systemLog("[Kernel] kernel started with PID: 42");
    EXPECT_EQ(inner.count("PID: 42"), 1u);
  }
  systemLog("[Helper] getVersion called");
  setLogToStderr(true);
  EXPECT_EQ(outer.lines().size(), 2u);
  EXPECT_EQ(outer.count("before any capture"), 0u);
  EXPECT_EQ(outer.matching("getVersion"), std::vector<std::string>{"[Helper] getVersion called"});
  outer.clear();
  EXPECT_TRUE(outer.lines().empty());
}

TEST(Timestamps, LocalAndUtcTextsNameTheCurrentInstant) {
  time_t before = time(nullptr);
  std::string local = localTimestamp();
  std::string iso = isoTimestampUtc();
  time_t after = time(nullptr);
  ASSERT_TRUE(std::regex_match(local, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << local;
  ASSERT_TRUE(std::regex_match(iso, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << iso;

  // Read each back in its own zone: both must land on the current second.
  struct tm tm {};
  ASSERT_NE(strptime(local.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr);
  tm.tm_isdst = -1;
  time_t localEpoch = mktime(&tm);
  tm = {};
  ASSERT_NE(strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr);
  time_t utcEpoch = timegm(&tm);
  EXPECT_GE(localEpoch, before);
  EXPECT_LE(localEpoch, after);
  EXPECT_GE(utcEpoch, before);
  EXPECT_LE(utcEpoch, after);
}

}  // namespace
}  // namespace zelvo::platform
