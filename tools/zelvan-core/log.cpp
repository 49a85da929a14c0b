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
  tm local{};
  ::localtime_r(&tv.tv_sec, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d:%02d:%02d.%03d] ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  std::string line;
  line.reserve(message.size() + 32);
  line += stamp;
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
