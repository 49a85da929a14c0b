// The system log: literal lines, one write each, captures, timestamps.
#include "platform/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
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

using detail::SyslogGate;
using namespace std::chrono_literals;

TEST(SyslogGate, ProbesAtMostOncePerIntervalAndFollowsTheLastAnswer) {
  int probes = 0;
  bool answer = false;
  SyslogGate gate(
      [&] {
        ++probes;
        return answer;
      },
      1s);
  const auto t0 = SyslogGate::Clock::time_point{} + 100h;

  // Down: the first line probes, the rest of the second does not.
  EXPECT_FALSE(gate.allow(t0));
  EXPECT_EQ(probes, 1);
  answer = true;  // the log comes back, unnoticed until the next probe
  for (int i = 1; i < 1000; ++i) EXPECT_FALSE(gate.allow(t0 + i * 1ms));
  EXPECT_EQ(probes, 1);

  // One second on: one probe, and lines pass from then on.
  EXPECT_TRUE(gate.allow(t0 + 1s));
  EXPECT_EQ(probes, 2);
  for (int i = 1; i < 1000; ++i) EXPECT_TRUE(gate.allow(t0 + 1s + i * 1ms));
  EXPECT_EQ(probes, 2);

  // It goes away again: noticed at the next probe, which is due a second after
  // the last one, not a second after the last line.
  answer = false;
  EXPECT_TRUE(gate.allow(t0 + 1999ms));
  EXPECT_FALSE(gate.allow(t0 + 2s));
  EXPECT_EQ(probes, 3);

  // A long quiet spell: the next line probes at once.
  answer = true;
  EXPECT_TRUE(gate.allow(t0 + 1h));
  EXPECT_EQ(probes, 4);
}

// A Unix socket of `type` bound (and for streams, listening) at a fresh path.
class BoundSocket {
 public:
  explicit BoundSocket(int type) {
    char tmpl[] = "/tmp/zelvo-devlog-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/log";
    fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          (type != SOCK_STREAM || listen(fd_, 4) == 0);
  }
  ~BoundSocket() {
    closeSocket();
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  void closeSocket() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
  int fd_ = -1;
  bool ok_ = false;
};

TEST(SyslogGate, ProbeAnswersOnlyWhileSomethingListensAtThePath) {
  BoundSocket datagram(SOCK_DGRAM);
  ASSERT_TRUE(datagram.ok());
  EXPECT_TRUE(detail::logSocketAnswers(datagram.path()));
  // The socket file stays behind when its owner goes: refused, not answering.
  datagram.closeSocket();
  EXPECT_FALSE(detail::logSocketAnswers(datagram.path()));

  // A log daemon on a stream socket answers too, as syslog(3) falls back to it.
  BoundSocket stream(SOCK_STREAM);
  ASSERT_TRUE(stream.ok());
  EXPECT_TRUE(detail::logSocketAnswers(stream.path()));

  EXPECT_FALSE(detail::logSocketAnswers("/nonexistent-zelvo-dir/log"));
  EXPECT_FALSE(detail::logSocketAnswers(std::string(200, 'x')));  // longer than sun_path
}

}  // namespace
}  // namespace zelvo::platform
