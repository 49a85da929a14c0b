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
    saved_ = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrToFile() {
    restore();
    unlink(path_.c_str());
  }
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string content() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// Lines go out verbatim (format directives included), one newline each, to
// standard error while that is switched on and to every live capture always.
TEST(SystemLog, LinesAreWrittenVerbatimAndCapturedEvenWithStderrOff) {
  const std::string line = "[Helper] 2026-12-04 10:15:00: 100% %s%n%d %x %% %@ 内核";
  LogCapture capture;
  StderrToFile err;
  systemLog(line);
  systemLog("");
  setLogToStderr(false);
  systemLog("quiet line");
  setLogToStderr(true);
  systemLog("loud line");
  err.restore();
  EXPECT_EQ(err.content(), line + "\n\nloud line\n");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{line, "", "quiet line", "loud line"}));
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

// The local form is checked against the clock by the daemon's start-up tests;
// the UTC one only here.
TEST(Timestamps, UtcTextNamesTheCurrentInstant) {
  time_t before = time(nullptr);
  std::string iso = isoTimestampUtc();
  time_t after = time(nullptr);
  ASSERT_TRUE(std::regex_match(iso, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << iso;
  struct tm tm {};
  ASSERT_NE(strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr);
  time_t utcEpoch = timegm(&tm);
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

// A Unix socket of `type` bound (and for streams, listening) at `path`;
// returns its descriptor, or -1.
int boundSocket(int type, const std::string& path) {
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      (type != SOCK_STREAM || listen(fd, 4) == 0)) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

TEST(SyslogGate, ProbeAnswersOnlyWhileSomethingListensAtThePath) {
  char tmpl[] = "/tmp/zelvo-devlog-XXXXXX";
  const std::string dir = mkdtemp(tmpl), dgramPath = dir + "/dgram", streamPath = dir + "/stream";
  int dgram = boundSocket(SOCK_DGRAM, dgramPath);
  ASSERT_GE(dgram, 0);
  EXPECT_TRUE(detail::logSocketAnswers(dgramPath));
  // The socket file stays behind when its owner goes: refused, not answering.
  close(dgram);
  EXPECT_FALSE(detail::logSocketAnswers(dgramPath));

  // A log daemon on a stream socket answers too, as syslog(3) falls back to it.
  int stream = boundSocket(SOCK_STREAM, streamPath);
  ASSERT_GE(stream, 0);
  EXPECT_TRUE(detail::logSocketAnswers(streamPath));
  close(stream);

  EXPECT_FALSE(detail::logSocketAnswers("/nonexistent-zelvo-dir/log"));
  EXPECT_FALSE(detail::logSocketAnswers(std::string(200, 'x')));  // longer than sun_path
  unlink(dgramPath.c_str());
  unlink(streamPath.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace zelvo::platform
