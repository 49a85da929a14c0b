// DaemonProcess: the real zelvo-helper, running under a SandboxRoot, for
// integration tests. Its standard output and error go to a file in the root;
// tests read its log lines from there. The daemon is killed (SIGKILL) when
// the object goes away, and a test fails if the daemon's log shows a
// sanitizer report.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox_root.h"

namespace zelvo::testing {

class DaemonProcess {
 public:
  using Seconds = std::chrono::duration<double>;

  // Starts the daemon at once (see start()).
  explicit DaemonProcess(const SandboxRoot& root, std::vector<std::string> extraArgs = {});
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Spawns `zelvo-helper --root R` and waits (at most 20 s) until it logged
  // that it listens and its socket exists. Throws std::runtime_error when it
  // does not get there.
  void start();
  // SIGKILL and reap. No effect when not running.
  void kill9();
  void restart() {
    kill9();
    start();
  }
  // SIGSTOP / SIGCONT, to hold the daemon still.
  void pause();
  void resume();
  // Waits for the daemon to exit on its own; returns its wait status or -1
  // when it still runs at the deadline.
  int waitExit(Seconds timeout);

  pid_t pid() const { return pid_; }
  bool running();

  // Lines the daemon wrote since its last start (or over all starts).
  std::vector<std::string> logLines() const;
  std::vector<std::string> allLogLines() const;
  // Waits until a line of the current run contains `needle`.
  bool waitForLog(std::string_view needle, Seconds timeout) const;
  size_t countLog(std::string_view needle) const;
  const std::string& logPath() const { return logPath_; }

  // Resource use of the running daemon, from /proc.
  int openFdCount() const;
  long rssKiB() const;
  // utime + stime in clock ticks.
  long cpuTicks() const;

 private:
  const SandboxRoot& root_;
  std::vector<std::string> extraArgs_;
  std::string logPath_;
  size_t runOffset_ = 0;
  pid_t pid_ = -1;
};

// Splits `text` into lines (without the newlines).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace zelvo::testing
