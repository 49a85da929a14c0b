// Host paths: every absolute path the daemon uses is resolved under one
// filesystem root, given as `zelvo-helper --root DIR` (default "/").
//
// Tests and the demo each run under their own root. setRoot() is called once,
// before any other thread starts; afterwards every function here is
// thread-safe (read-only).
#pragma once

#include <string>
#include <string_view>

namespace zelvo::platform {

// Sets the root. `dir` is made absolute; a trailing '/' is dropped ("/" stays).
void setRoot(std::string_view dir);
const std::string& root();

// Maps an absolute host path ("/usr/bin/pgrep") into the root
// ("<root>/usr/bin/pgrep"). With root "/" the path is returned unchanged.
std::string hostPath(std::string_view absolutePath);

// Joins path components with exactly one '/' between them.
std::string joinPath(std::string_view a, std::string_view b);

// The daemon's one rule for "a file is there": anything that can be opened,
// symbolic links followed, so a dangling link counts as absent and a lookup
// falls through to the next candidate.
bool fileExists(const std::string& path);

// The daemon's private temporary directory under the root, ending in '/'
// (like NSTemporaryDirectory()): "<root><parent>/zelvo-helper-<uid>/",
// created on first use with mode 0700 and owned by the daemon's user. If a
// non-directory, a symbolic link, a directory owned by someone else or one
// with a looser mode sits there, it is replaced. Throws Error on failure.
std::string privateTemporaryDirectory(std::string_view parent);

}  // namespace zelvo::platform
