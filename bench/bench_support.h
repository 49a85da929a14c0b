// What the benchmarks share: the result lines that scripts/bench gathers into
// its table, the release daemon running in a fresh sandbox root, and readings
// of a process from /proc.
//
// Every figure a benchmark wants in the table goes out through result(), one
// line each:
//
//   RESULT <name> <value> <unit> <floor> <pass|FAIL|info>
//
// where <floor> is written "<=2", "<64", ">=0.5" or "-" for a figure that has
// none. The human-readable report around these lines is the benchmark's own.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

#include "support/proc_scan.h"

namespace bench {

using Clock = std::chrono::steady_clock;

enum class Floor { None, Below, AtMost, AtLeast };

// Prints one RESULT line; returns whether the figure meets its floor (true
// when it has none). A benchmark exits 0 whenever it could measure; judging
// the figures is scripts/bench's business.
inline bool result(const std::string& name, double value, const std::string& unit,
                   Floor kind = Floor::None, double limit = 0) {
  bool met = true;
  char floor[64] = "-";
  switch (kind) {
    case Floor::None:
      break;
    case Floor::Below:
      met = value < limit;
      std::snprintf(floor, sizeof floor, "<%g", limit);
      break;
    case Floor::AtMost:
      met = value <= limit;
      std::snprintf(floor, sizeof floor, "<=%g", limit);
      break;
    case Floor::AtLeast:
      met = value >= limit;
      std::snprintf(floor, sizeof floor, ">=%g", limit);
      break;
  }
  const char* verdict = kind == Floor::None ? "info" : met ? "pass" : "FAIL";
  std::printf("RESULT %s %.4g %s %s %s\n", name.c_str(), value, unit.c_str(), floor, verdict);
  std::fflush(stdout);
  return met;
}

// Thrown when a benchmark cannot measure; unwinding stops the daemon and
// removes its root on the way out (std::exit would leave them behind).
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void die(const std::string& what) {
  throw Failure(what);
}

// Runs a benchmark's body; a failure is reported and exits 1.
template <class Body>
int run(const char* name, Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", name, e.what());
    return 1;
  }
}

inline double secondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

inline double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---- /proc readings ----

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"), or -1.
inline long statusKiB(pid_t pid, std::string_view field) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}

inline long rssKiB(pid_t pid) {
  return statusKiB(pid, "VmRSS");
}

// User plus system CPU time of the whole process (exited threads included),
// in clock ticks.
inline long cpuTicks(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string f;
  long total = 0;
  // Fields after the command: state is field 3, utime 14, stime 15.
  for (int i = 3; i <= 15 && in >> f; ++i) {
    if (i == 14 || i == 15) total += std::stol(f);
  }
  return total;
}

// CPU time of the process's live threads in nanoseconds, from the scheduler's
// own accounting (much finer than clock ticks).
inline long long schedNanos(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  long long total = 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::istringstream in(readFile(dir + "/" + e->d_name + "/schedstat"));
    long long ns = 0;
    if (in >> ns) total += ns;
  }
  ::closedir(d);
  return total;
}

// Live processes whose command line starts with `exe`.
inline std::vector<pid_t> processesRunning(const std::string& exe) {
  std::vector<pid_t> found;
  for (const pid_t pid : zelvo::testing::allPids()) {
    const std::string cmdline = zelvo::testing::procFile(pid, "cmdline");
    if (cmdline.compare(0, exe.size() + 1, exe + '\0') != 0) continue;
    if (zelvo::testing::processAlive(pid)) found.push_back(pid);
  }
  return found;
}

// ---- Processes ----

inline constexpr const char* kKernelName = "com.zelvo.svc.core";

// Live kernels, other than those of the root `ownRoot` (none when empty).
inline std::vector<pid_t> foreignKernels(const std::string& ownRoot) {
  std::vector<pid_t> found;
  // A kernel's program name is its path, ending in the kernel's name (the
  // pgrep and pkill that look for kernels only mention it).
  const std::string suffix = std::string("/") + kKernelName;
  for (const pid_t pid : zelvo::testing::allPids()) {
    if (pid == ::getpid()) continue;
    const std::string program = zelvo::testing::programOf(pid);
    if (program.size() < suffix.size() ||
        program.compare(program.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    if (!ownRoot.empty() && program.rfind(ownRoot + "/", 0) == 0) continue;
    if (zelvo::testing::processAlive(pid)) found.push_back(pid);
  }
  return found;
}

// Starts `argv` with standard output and error appended to `outputPath`
// (or inherited when empty). Returns the pid, or -1.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!outputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// ---- The daemon in a sandbox root ----

// The release daemon under a fresh sandbox root made by scripts/sandbox, with
// the reference kernel preinstalled. Its log (standard error) goes to a file
// in the root, which the benchmark reads back. Only whole lines are read: one
// still being written at the end of the file waits for the next read.
class Daemon {
 public:
  Daemon() {
    // At start-up the daemon looks for surviving kernels by name across the
    // whole machine and sweeps away any it cannot take over: it would kill
    // another run's kernels (and that run's daemon ours).
    if (auto others = foreignKernels({}); !others.empty()) {
      die("a kernel of another run is alive (pid " + std::to_string(others[0]) +
          "); a daemon started now would kill it");
    }
    char tmpl[] = "/tmp/zelvo-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) die("mkdtemp failed");
    root_ = tmpl;
    const pid_t layout = spawn(
        {std::string(ZELVO_SOURCE_DIR) + "/scripts/sandbox", root_, "--kernel", ZELVAN_CORE_BIN});
    int st = 0;
    if (layout < 0 || ::waitpid(layout, &st, 0) < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
      std::filesystem::remove_all(root_);
      die("scripts/sandbox failed");
    }
    logPath_ = root_ + "/helper.log";
    pid_ = spawn({ZELVO_HELPER_BIN, "--root", root_}, logPath_);
    if (pid_ < 0) die("cannot start " + std::string(ZELVO_HELPER_BIN));
    // Started: listening, and launch reconciliation done (the line about the
    // kernel's presence follows it).
    if (!waitForLine("[Helper] 内核 version: zelvan-core", 1, 30.0)) {
      die("the daemon did not finish starting; its log:\n" + readFile(logPath_));
    }
  }

  ~Daemon() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    // A kernel outlives its daemon by design; this root's must not outlive us.
    for (pid_t k : kernelPids()) ::kill(k, SIGKILL);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& root() const { return root_; }
  std::string socketPath() const { return root_ + "/var/run/com.zelvo.svc.helper.sock"; }
  std::string kernelPath() const {
    return root_ + "/Library/PrivilegedHelperTools/com.zelvo.svc.core";
  }
  std::vector<pid_t> kernelPids() const { return processesRunning(kernelPath()); }

  // Whole lines logged so far.
  std::vector<std::string> lines() const {
    const std::string text = readFile(logPath_);
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      out.push_back(text.substr(start, nl - start));
    }
    return out;
  }

  size_t count(std::string_view needle) const {
    size_t n = 0;
    for (const auto& l : lines()) n += l.find(needle) != std::string::npos;
    return n;
  }

  // Polls the log every millisecond until `needle` has been logged `nth`
  // times; returns when it saw that (so at most about a millisecond late), or
  // nullopt after `timeoutSeconds`.
  std::optional<Clock::time_point> waitForLine(std::string_view needle, size_t nth,
                                               double timeoutSeconds) const {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    size_t seen = 0, offset = 0;
    std::string pending;
    const int fd = ::open(logPath_.c_str(), O_RDONLY | O_CLOEXEC | O_CREAT, 0644);
    if (fd < 0) return std::nullopt;
    char buf[64 * 1024];
    for (;;) {
      ssize_t n;
      while ((n = ::pread(fd, buf, sizeof buf, off_t(offset))) > 0) {
        offset += size_t(n);
        pending.append(buf, size_t(n));
      }
      const auto now = Clock::now();
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
        if (std::string_view(pending).substr(0, nl).find(needle) != std::string_view::npos &&
            ++seen >= nth) {
          ::close(fd);
          return now;
        }
      }
      if (now > deadline) {
        ::close(fd);
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  std::string root_;
  std::string logPath_;
  pid_t pid_ = -1;
};

// A raw connection to the daemon's socket, or -1.
inline int connectUnix(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace bench
