#include "log.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace zelvan {
namespace {

std::atomic<bool> gRedact{false};

// This thread's held lines (see LogBatch); null when none are held.
thread_local std::string* tlsBatch = nullptr;

void writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report a failing log
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void writeLine(int fd, std::string_view message) {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  // The date and time to the second, made once a second per thread: a
  // request's lines come within microseconds of each other.
  thread_local time_t second = -1;
  thread_local char stamp[40];
  if (tv.tv_sec != second) {
    tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    second = tv.tv_sec;
  }
  const int ms = static_cast<int>(tv.tv_usec / 1000);
  const char fraction[] = {
      '.', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), ']', ' '};
  std::string line;
  line.reserve(message.size() + 32);
  line += stamp;
  line.append(fraction, sizeof fraction);
  line += message;
  line += '\n';
  if (tlsBatch && fd == STDOUT_FILENO) {
    *tlsBatch += line;
    return;
  }
  flushLog();  // an error line after the lines held before it
  writeAll(fd, line);
}

}  // namespace

LogBatch::LogBatch() : outer_(tlsBatch) {
  if (!outer_) tlsBatch = &lines_;
}

LogBatch::~LogBatch() {
  flushLog();
  tlsBatch = outer_;
}

void flushLog() {
  if (!tlsBatch || tlsBatch->empty()) return;
  writeAll(STDOUT_FILENO, *tlsBatch);
  tlsBatch->clear();
}

void setRedactLog(bool redact) {
  gRedact.store(redact);
}
bool redactLog() {
  return gRedact.load();
}

std::string errnoText(int err) {
  char buffer[256] = {};
  // The GNU strerror_r: it may return a static text instead of filling buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

void logInfo(std::string_view message) {
  writeLine(STDOUT_FILENO, message);
}
void logError(std::string_view message) {
  writeLine(STDERR_FILENO, message);
}

}  // namespace zelvan
