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
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
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
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

#include "platform/dispatch.h"
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

// ---- Placement ----

// Where the measuring thread runs and where everything it measures against
// runs: two different processors, chosen once and used alike for a path and
// its raw baseline. Left to the scheduler, a baseline whose processes happen
// to share the caller's processor answers four times faster than across two
// (a wake-up across processors is most of a round trip on a virtual machine),
// and that placement, not the code, then decides a run's ratios. The
// processes started while the served processor is set (the daemon, its
// kernel, a baseline's chain) inherit it, the daemon's threads too: they then
// share one processor, as the scheduler mostly places them anyway.
// BENCH_PLACEMENT=free leaves everything to the scheduler; fewer than two
// processors leave it too.
class Placement {
 public:
  Placement() {
    const char* env = std::getenv("BENCH_PLACEMENT");
    if (env && std::string_view(env) == "free") return;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE && cpus.size() < 2; ++c) {
      if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
    }
    if (cpus.size() < 2 || !pin(cpus[0])) return;  // not allowed to pin: left alone
    caller_ = cpus[0];
    served_ = cpus[1];
  }

  // The calling thread on the caller's processor, or on the served one;
  // pinning is allowed here, as the constructor found.
  void asCaller() const { pin(caller_); }
  void asServed() const { pin(served_); }

  std::string describe() const {
    if (caller_ < 0) return "placement: left to the scheduler";
    return "placement: caller on processor " + std::to_string(caller_) +
           ", daemon, kernel and baselines' peers on processor " + std::to_string(served_);
  }

 private:
  static bool pin(int cpu) {
    if (cpu < 0) return true;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::sched_setaffinity(0, sizeof one, &one) == 0;
  }

  int caller_ = -1, served_ = -1;
};

// Runs `start` on the served processor (what it starts inherits it), then
// puts the calling thread back on the caller's.
template <class Start>
auto startServed(const Placement& where, Start&& start) {
  where.asServed();
  struct Back {
    const Placement& where;
    ~Back() { where.asCaller(); }
  } back{where};
  return start();
}

// CPU time of the process's live threads in nanoseconds, from the scheduler's
// own accounting (much finer than clock ticks); with `descendants`, of every
// live process descended from it too.
inline long long schedNanos(pid_t pid, bool descendants = false) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  long long total = 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = dir + "/" + e->d_name;
    std::istringstream in(readFile(task + "/schedstat"));
    long long ns = 0;
    if (in >> ns) total += ns;
    if (!descendants) continue;
    std::istringstream children(readFile(task + "/children"));
    for (pid_t child; children >> child;) total += std::max(0LL, schedNanos(child, true));
  }
  ::closedir(d);
  return total;
}

// ---- Interleaved rounds ----

// Samples (us) of each case, round by round.
using Rounds = std::vector<std::vector<double>>;

// Runs the cases in alternating rounds, so that a machine whose load changes
// during the run weighs on all of them alike; `iterations` calls per case,
// split over the rounds, after a warm-up of a twentieth of them.
//
// With `far`, also the CPU time each case's far side (far->pids[k] and its
// descendants) spent per call, in microseconds, into far->cpuPerCall: read
// before and after each round's block, outside the timed calls.
struct FarSide {
  std::vector<pid_t> pids;
  std::vector<double> cpuPerCall;
};
inline std::vector<Rounds> measureInterleaved(int iterations, int rounds,
                                              const std::vector<std::function<void()>>& cases,
                                              FarSide* far = nullptr) {
  std::vector<Rounds> samples(cases.size(), Rounds(size_t(rounds)));
  std::vector<long long> cpuNanos(cases.size());
  auto farCpu = [&](size_t k) { return far ? schedNanos(far->pids[k], true) : 0; };
  for (auto& c : cases) {
    for (int i = 0; i < iterations / 20; ++i) c();
  }
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < cases.size(); ++k) {
      const long long cpu0 = farCpu(k);
      for (int i = 0; i < iterations / rounds; ++i) {
        const auto t0 = Clock::now();
        cases[k]();
        samples[k][size_t(round)].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      cpuNanos[k] += farCpu(k) - cpu0;
    }
  }
  if (far) {
    far->cpuPerCall.clear();
    for (const long long ns : cpuNanos) {
      far->cpuPerCall.push_back(double(ns) / 1e3 / double(rounds * (iterations / rounds)));
    }
  }
  return samples;
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

inline std::vector<double> flatten(const Rounds& rounds) {
  std::vector<double> all;
  for (const auto& r : rounds) all.insert(all.end(), r.begin(), r.end());
  return all;
}

// The median over rounds of (median of `a` in the round / median of `b` in it).
inline double medianRatio(const Rounds& a, const Rounds& b) {
  std::vector<double> ratios;
  for (size_t r = 0; r < a.size(); ++r) {
    ratios.push_back(percentile(a[r], 0.5) / percentile(b[r], 0.5));
  }
  return median(ratios);
}

// ---- Raw baselines: the physical limit of each measured path ----

// How the caller waits for an answer: blocked in read(), or watching the
// socket without sleeping for up to 100 us (as the client library watches for
// its reply) and only then blocked in poll().
enum class Wait { Block, Spin };

namespace raw {

inline bool readExact(int fd, char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

inline bool writeExact(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

// Reads exactly `n` bytes, waiting as `wait` says.
inline bool readWaiting(int fd, char* p, size_t n, Wait wait) {
  if (wait == Wait::Block) return readExact(fd, p, n);
  const auto until = Clock::now() + std::chrono::microseconds(100);
  for (size_t got = 0; got < n;) {
    const ssize_t r = ::recv(fd, p + got, n - got, MSG_DONTWAIT);
    if (r > 0) {
      got += size_t(r);
    } else if (r == 0 || errno != EAGAIN) {
      return false;
    } else if (Clock::now() >= until) {
      pollfd w{fd, POLLIN, 0};
      ::poll(&w, 1, -1);
    } else {
      zelvo::platform::relaxCpu();
    }
  }
  return true;
}

// One frame (4-byte little-endian length, then the body) into `buf`, waited
// for as `wait` says; its whole size, or 0 at the end of the stream.
inline size_t readFrame(int fd, char* buf, size_t cap, Wait wait = Wait::Block) {
  if (!readWaiting(fd, buf, 4, wait)) return 0;
  const uint32_t n = uint8_t(buf[0]) | uint8_t(buf[1]) << 8 | uint8_t(buf[2]) << 16 |
                     uint32_t(uint8_t(buf[3])) << 24;
  if (n > cap - 4 || !readWaiting(fd, buf + 4, n, wait)) return 0;
  return n + 4;
}

// A process of the chain: the last one answers each frame with itself; any
// other passes it on to the next process and the answer back. Each sleeps in
// poll() until its socket is readable and then reads, as the daemon's threads
// (in epoll) and the kernel do; asleep in read() it would also be woken each
// time the other end takes its answer off the socket. Uses system calls only,
// since it is forked from a process that may run threads.
[[noreturn]] inline void hop(int up, int left) {
  static char buf[64 * 1024];
  int down = -1;
  if (left > 1) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) _exit(1);
    const pid_t next = ::fork();
    if (next == 0) {
      ::close(up);
      ::close(sv[0]);
      hop(sv[1], left - 1);
    }
    ::close(sv[1]);
    down = sv[0];
  }
  auto ready = [](int fd) {
    pollfd readable{fd, POLLIN, 0};
    ::poll(&readable, 1, -1);
    return fd;
  };
  for (size_t n; (n = readFrame(ready(up), buf, sizeof buf)) > 0;) {
    if (down >= 0 &&
        (!writeExact(down, buf, n) || !(n = readFrame(ready(down), buf, sizeof buf)))) {
      break;
    }
    if (!writeExact(up, buf, n)) break;
  }
  if (down >= 0) ::close(down);  // the next process ends in turn
  while (::wait(nullptr) > 0) {
  }
  _exit(0);
}

}  // namespace raw

// The raw baseline of a path through `hops` other processes (1: client and
// daemon, or daemon and kernel; 2: client, daemon and kernel): this process
// sends a frame of `body` to a chain of processes joined by Unix stream
// sockets, the same 4-byte framing as the real paths, and waits for it to come
// back. Nothing but the system calls and the scheduler's wake-ups is left.
class RawChain {
 public:
  RawChain(int hops, std::string body) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) die("socketpair");
    child_ = ::fork();
    if (child_ < 0) die("fork");
    if (child_ == 0) {
      ::close(sv[0]);
      raw::hop(sv[1], hops);
    }
    ::close(sv[1]);
    fd_ = sv[0];
    const auto n = uint32_t(body.size());
    for (int i = 0; i < 4; ++i) frame_ += char(n >> (8 * i));
    frame_ += body;
    buf_.resize(frame_.size());
  }
  ~RawChain() {
    ::close(fd_);
    ::waitpid(child_, nullptr, 0);
  }
  RawChain(const RawChain&) = delete;
  RawChain& operator=(const RawChain&) = delete;

  pid_t pid() const { return child_; }

  void roundTrip(Wait wait) {
    if (!raw::writeExact(fd_, frame_.data(), frame_.size()) ||
        !raw::readWaiting(fd_, buf_.data(), buf_.size(), wait)) {
      die("the raw chain went away");
    }
  }

 private:
  int fd_ = -1;
  pid_t child_ = -1;
  std::string frame_, buf_;
};

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
  // `helper` and `kernel`: another build's, to compare two builds in the
  // same rounds.
  explicit Daemon(const std::string& helper = ZELVO_HELPER_BIN,
                  const std::string& kernel = ZELVAN_CORE_BIN) {
    char tmpl[] = "/tmp/zelvo-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) die("mkdtemp failed");
    root_ = tmpl;
    const pid_t layout =
        spawn({std::string(ZELVO_SOURCE_DIR) + "/scripts/sandbox", root_, "--kernel", kernel});
    int st = 0;
    if (layout < 0 || ::waitpid(layout, &st, 0) < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
      std::filesystem::remove_all(root_);
      die("scripts/sandbox failed");
    }
    logPath_ = root_ + "/helper.log";
    pid_ = spawn({helper, "--root", root_}, logPath_);
    if (pid_ < 0) die("cannot start " + helper);
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

  // Lines logged so far that contain `needle`; scanned in place, since after
  // the latency rounds the log holds megabytes.
  size_t count(std::string_view needle) const {
    const std::string text = readFile(logPath_);
    const std::string_view all(text);
    size_t n = 0;
    for (size_t start = 0, nl; (nl = all.find('\n', start)) != std::string_view::npos;
         start = nl + 1) {
      n += all.substr(start, nl - start).find(needle) != std::string_view::npos;
    }
    return n;
  }

  // The log's size now: a line boundary, since the daemon writes whole lines.
  size_t logEnd() const {
    struct stat st {};
    return ::stat(logPath_.c_str(), &st) == 0 ? size_t(st.st_size) : 0;
  }

  // Waits until `needle` has been logged `nth` times from byte `from` of the
  // log on (a logEnd() taken before the action) and returns when it saw that,
  // or nullopt after `timeoutSeconds`. It wakes on every write to the log
  // (inotify), so the time it returns is within a wake-up of the write;
  // polling would add up to its period to every figure.
  std::optional<Clock::time_point> waitForLine(std::string_view needle, size_t nth,
                                               double timeoutSeconds, size_t from = 0) const {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    size_t seen = 0, offset = from;
    std::string pending;
    const int fd = ::open(logPath_.c_str(), O_RDONLY | O_CLOEXEC | O_CREAT, 0644);
    if (fd < 0) return std::nullopt;
    // Watching before the first read: a write after it is never missed.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || ::inotify_add_watch(watch, logPath_.c_str(), IN_MODIFY) < 0) {
      die("inotify on the daemon's log failed");
    }
    auto done = [&](std::optional<Clock::time_point> at) {
      ::close(watch);
      ::close(fd);
      return at;
    };
    char buf[64 * 1024];
    for (;;) {
      ssize_t n;
      while ((n = ::pread(fd, buf, sizeof buf, off_t(offset))) > 0) {
        offset += size_t(n);
        pending.append(buf, size_t(n));
      }
      const auto now = Clock::now();
      // Lines are consumed by index and the buffer trimmed once: a log of
      // many megabytes read in one go must not be shifted line by line.
      size_t start = 0;
      for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (std::string_view(pending).substr(start, nl - start).find(needle) !=
                std::string_view::npos &&
            ++seen >= nth) {
          return done(now);
        }
      }
      pending.erase(0, start);
      if (now > deadline) return done(std::nullopt);
      pollfd p{watch, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      ::poll(&p, 1, int(std::min<long long>(left.count() + 1, 1000)));
      while (::read(watch, buf, sizeof buf) > 0) {
      }
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
