// The kernel's log: one line per event on standard output (errors on standard
// error). The daemon appends both streams to the same file, so every line goes
// out in a single write() and lines from different threads never interleave.
// Thread-safe.
#pragma once

#include <string_view>

namespace zelvan {

// When redacting, no configuration content or request payload may be printed;
// callers check this before formatting such content.
void setRedactLog(bool redact);
bool redactLog();

void logInfo(std::string_view message);
void logError(std::string_view message);

}  // namespace zelvan
