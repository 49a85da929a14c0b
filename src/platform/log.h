// System log: the stand-in for NSLog.
//
// systemLog() writes the finished line plus a newline to standard error with a
// single write(2), so concurrent lines never interleave, and hands the same
// line to syslog(3). The line is literal text: a '%' in it is not a directive.
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
// syslog(3) gets the line only while the system log's socket answers. glibc
// tries to reconnect on every call while it does not (a socket, a failed
// connect and a close, about 10 us a line), so whether it answers is checked
// at most once a second; lines logged while it is down reach standard error
// and captures only.
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

// True when a datagram (or, failing that, stream) connection to the Unix
// socket at `path` can be made, which is what syslog(3) needs of /dev/log.
bool logSocketAnswers(const std::string& path);

// Whether `fd` is the stream that `journalStream` (JOURNAL_STREAM's value,
// "<device>:<inode>" in decimal, or null) names.
bool isJournalStream(int fd, const char* journalStream);

// Decides whether a line goes to syslog(3): asks `probe` whether the system
// log answers at most once per `interval`, and passes lines while the last
// answer was yes. Until the first probe has answered, lines do not pass.
// Thread-safe: any number of threads may call allow() at once; one of them
// probes, the others use the previous answer meanwhile, and probes never
// overlap.
class SyslogGate {
 public:
  using Clock = std::chrono::steady_clock;

  SyslogGate(std::function<bool()> probe, Clock::duration interval);
  SyslogGate(const SyslogGate&) = delete;
  SyslogGate& operator=(const SyslogGate&) = delete;

  bool allow(Clock::time_point now);

 private:
  const std::function<bool()> probe_;
  const int64_t intervalNs_;
  // When the next probe is due, in nanoseconds of Clock. Written only by the
  // caller that holds probing_.
  std::atomic<int64_t> nextProbeNs_;
  std::atomic<bool> probing_{false};
  std::atomic<bool> answers_{false};
};

}  // namespace detail

}  // namespace zelvo::platform
