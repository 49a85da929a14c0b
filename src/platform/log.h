// System log: the stand-in for NSLog.
//
// systemLog() writes the finished line plus a newline to standard error with a
// single write(2), so concurrent lines never interleave, and hands the same
// line to syslog(3). The line is literal text: a '%' in it is not a directive.
// Thread-safe; takes no lock on the write path except when captures are set.
//
// Tests capture lines in-process with LogCapture; a capture sees every line
// written while it lives, from any thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::platform {

void systemLog(std::string_view line);

// The current local time as "yyyy-MM-dd HH:mm:ss" (no fraction, no zone).
std::string localTimestamp();

// The current time in ISO 8601, UTC, seconds: "2025-01-31T08:15:00Z".
std::string isoTimestampUtc();

// When false, systemLog() does not write to standard error (syslog still gets
// the line). Benchmarks use it; the daemon never does.
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

}  // namespace zelvo::platform
