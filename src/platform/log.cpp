#include "platform/log.h"

#include <errno.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace zelvo::platform {
namespace {

std::atomic<bool> gLogToStderr{true};

// Live captures. The count lets the write path skip the lock when there are
// none (the daemon never has any); the registry itself is leaked so that a
// line logged during static destruction still finds it.
struct CaptureRegistry {
  std::mutex mu;  // guards captures
  std::vector<LogCapture*> captures;
  std::atomic<size_t> count{0};
};

CaptureRegistry& registry() {
  static CaptureRegistry* r = new CaptureRegistry;
  return *r;
}

void openSyslogOnce() {
  static std::once_flag once;
  std::call_once(once, [] { ::openlog("zelvo-helper", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
}

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing log
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

std::string formatNow(const char* pattern, bool utc) {
  static std::once_flag tzOnce;
  std::call_once(tzOnce, [] { ::tzset(); });
  time_t now = ::time(nullptr);
  struct tm tm {};
  if (utc) {
    ::gmtime_r(&now, &tm);
  } else {
    ::localtime_r(&now, &tm);
  }
  char buf[64];
  size_t n = ::strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

}  // namespace

void systemLog(std::string_view line) {
  // The whole line and its newline go out in one write so that lines from
  // concurrent threads (and processes sharing the descriptor) never interleave.
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  buffer.push_back('\n');
  if (gLogToStderr.load(std::memory_order_relaxed)) {
    writeAll(STDERR_FILENO, buffer.data(), buffer.size());
  }

  openSyslogOnce();
  buffer.pop_back();
  // "%s": the line is literal text, never a format.
  ::syslog(LOG_NOTICE, "%s", buffer.c_str());

  CaptureRegistry& reg = registry();
  if (reg.count.load(std::memory_order_acquire) > 0) {
    std::lock_guard<std::mutex> lock(reg.mu);
    for (LogCapture* c : reg.captures) c->append(buffer);
  }
}

std::string localTimestamp() {
  return formatNow("%Y-%m-%d %H:%M:%S", false);
}

std::string isoTimestampUtc() {
  return formatNow("%Y-%m-%dT%H:%M:%SZ", true);
}

void setLogToStderr(bool enabled) {
  gLogToStderr.store(enabled, std::memory_order_relaxed);
}

LogCapture::LogCapture() {
  CaptureRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mu);
  reg.captures.push_back(this);
  reg.count.store(reg.captures.size(), std::memory_order_release);
}

LogCapture::~LogCapture() {
  // Once this returns no writer holds a pointer to us: writers append under
  // the registry lock.
  CaptureRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mu);
  reg.captures.erase(std::remove(reg.captures.begin(), reg.captures.end(), this),
                     reg.captures.end());
  reg.count.store(reg.captures.size(), std::memory_order_release);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<std::string> LogCapture::matching(std::string_view needle) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const auto& l : lines_) {
    if (l.find(needle) != std::string::npos) out.push_back(l);
  }
  return out;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

void LogCapture::append(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back(line);
}

}  // namespace zelvo::platform
