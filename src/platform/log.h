// System log: the stand-in for NSLog.
//
// systemLog() writes the finished line plus a newline to standard error with a
// single write(2), so concurrent lines never interleave, and hands the same
// line to the system log.
// Thread-safe. A socket as standard error (the journal's) never makes the
// caller wait: what it does not take at once (a line, or the rest of one) is
// written later, in order, by a thread of its own, up to a bound past which
// lines are counted and dropped ("Log: <n> lines dropped while standard error
// took nothing"). Only then may a line reach the stream after the reply that
// followed it.
//
// Under systemd, standard error is the journal's stream (JOURNAL_STREAM names
// it), and syslog(3) would give the journal every line a second time: there
// standard error alone carries the lines.
//
// The system log gets the line as syslog(3) would send it, but never makes
// the caller wait: a stalled system logger (a full disk, a stopped rsyslog)
// costs lines, counted, not the daemon (see SyslogSender).
//
// Tests capture lines in-process with LogCapture; a capture sees every line
// written while it lives, from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::platform {

// Control characters in `line` are written escaped (\n, \r, \t, \xNN), so
// one call is always one line, whatever text it carries.
void systemLog(std::string_view line);

// A line of the Helper log: "[Helper] <local time>: <message>". The platform's
// own lines (the IPC transport, child processes, workers) are written so too,
// so that every line but the start-up ones reads alike.
void helperLog(std::string_view message);

// Waits, at most `bound`, until lines held back for a stalled standard error
// are written: for a process about to end on purpose.
void flushLog(std::chrono::milliseconds bound);

// While one lives on a thread, the lines the thread logs reach standard error
// together, in one write, when flushLogBatch() is called or the batch ends
// (syslog and captures get each line at once). For work that ends within
// microseconds and logs several lines; whoever replies to a client flushes
// first, so that no reply arrives before the lines of its request. Nested
// batches join the outer one.
class LogBatch {
 public:
  LogBatch();
  ~LogBatch();
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;

 private:
  std::string lines_;
  std::string* outer_;
};
void flushLogBatch();

// While one lives on a thread, the lines the thread logs are on behalf of a
// peer who is not trusted. Such lines, from all threads together, pass at
// most kRate a second after a burst of kBurst; the others are dropped and
// counted, and the count goes out just before the next line that passes:
// "IPC: <n> log lines for restricted peers dropped". Untrusted peers can
// then neither fill the disk nor push everyone else's lines past the
// journal's rate limit. Nested scopes join the outer one.
class RestrictedPeerLines {
 public:
  static constexpr double kRate = 50;
  static constexpr double kBurst = 200;
  // Takes effect only when `applies`: the code that opens one serves
  // trusted and untrusted peers alike.
  explicit RestrictedPeerLines(bool applies);
  ~RestrictedPeerLines();
  RestrictedPeerLines(const RestrictedPeerLines&) = delete;
  RestrictedPeerLines& operator=(const RestrictedPeerLines&) = delete;
  // Whether the calling thread logs for such a peer: work it hands on to
  // another thread takes a scope of its own there.
  static bool active();

 private:
  const bool applies_;
};

// A string from outside (a client, the kernel) as it may appear in a log
// line: control characters escaped and at most 256 bytes of it, cut at a
// character boundary and marked with "…", so no peer can forge or flood lines.
std::string forLog(std::string_view text);

// The current local time as "yyyy-MM-dd HH:mm:ss" (no fraction, no zone).
std::string localTimestamp();

// The current time in ISO 8601, UTC, seconds: "2025-01-31T08:15:00Z".
std::string isoTimestampUtc();

// When false, systemLog() does not write to standard error (syslog still gets
// the line). Benchmarks use it; the daemon never does. Either way standard
// error is taken up afresh, as after it was replaced by another file.
void setLogToStderr(bool enabled);

// Collects every line written through systemLog() while it exists.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // Lines containing `needle`.
  std::vector<std::string> matching(std::string_view needle) const;
  size_t count(std::string_view needle) const { return matching(needle).size(); }
  void clear();

  void append(const std::string& line);  // called by systemLog()

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

namespace detail {

// Whether `fd` is the stream that `journalStream` (JOURNAL_STREAM's value,
// "<device>:<inode>" in decimal, or null) names.
bool isJournalStream(int fd, const char* journalStream);

// Hands lines to the system log's socket at `path` as syslog(3) formats them
// ("<29>Dec  9 02:51:10 <tag>[<pid>]: <line>": daemon, notice), without ever
// waiting. A line the socket does not take at once is dropped and counted,
// and "Log: <n> lines dropped while the system log took nothing" goes ahead
// of the next line it takes. A socket that is not there is tried again at
// most once per `retry` (glibc would try on every line, about 10 us each);
// one whose reader went away (the logger restarted) is connected anew at
// once. Thread-safe.
class SyslogSender {
 public:
  using Clock = std::chrono::steady_clock;

  SyslogSender(std::string path, std::string tag, Clock::duration retry);
  ~SyslogSender();
  SyslogSender(const SyslogSender&) = delete;
  SyslogSender& operator=(const SyslogSender&) = delete;

  void send(std::string_view line, Clock::time_point now);

 private:
  enum class Sent { Taken, Full, Gone };
  bool connectLocked(Clock::time_point now);
  Sent sendLocked(std::string message, Clock::time_point now);
  void closeLocked();

  const std::string path_, tag_;
  const Clock::duration retry_;
  std::mutex mu_;  // guards what follows
  int fd_ = -1;
  bool stream_ = false;  // a stream socket: messages end with a NUL
  Clock::time_point nextConnect_ = Clock::time_point::min();
  uint64_t dropped_ = 0;
};

}  // namespace detail

}  // namespace zelvo::platform
