// The kernel's log: one line per event on standard output (errors on standard
// error). The daemon appends both streams to the same file, so every line goes
// out in a single write() and lines from different threads never interleave.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace zelvan {

// When redacting, no configuration content or request payload may be printed;
// callers check this before formatting such content.
void setRedactLog(bool redact);
bool redactLog();

// strerror(err), safe on any thread.
std::string errnoText(int err);

void logInfo(std::string_view message);
void logError(std::string_view message);

// While one lives on a thread, that thread's logInfo lines are held and go
// out together, in one write, at flushLog() or when the batch ends; each line
// keeps the time it was logged at. Other threads are not affected.
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

// Writes out this thread's held lines, if any.
void flushLog();

}  // namespace zelvan
