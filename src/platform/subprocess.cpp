#include "platform/subprocess.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/log.h"
#include "platform/process_probe.h"

extern char** environ;

namespace zelvo::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Once the child has exited, how long the watcher still waits for the pipe to
// reach end of file. A grandchild that inherited the pipe may hold it open for
// ever; waitUntilExit() must not wait for that.
constexpr auto kPipeGraceAfterExit = std::chrono::seconds(2);
constexpr Seconds kKilledChildGrace{3.0};
// How long a child switching users may take to reach its exec. Once it has
// switched, that user may stop it (SIGSTOP) before it gets there, and the
// launch, with whatever lock its caller holds, would wait for ever.
constexpr int kExecWithinMilliseconds = 5000;

// Owns a descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// RAII for the spawn attribute and file-action objects.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Moves a new descriptor above the standard three, so that a daemon started
// with a closed standard stream cannot have its pipe clobbered by the child's
// stream set-up.
int aboveStandardStreams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int err = errno;
  ::close(fd);
  if (moved < 0) throw Error::fromErrno(err, "fcntl");
  return moved;
}

void check(int rc, const char* what) {
  if (rc != 0) throw Error::fromErrno(rc, what);
}

// One standard stream of the child: a copy of `fd`, or /dev/null opened with
// `nullFlags` when `fd` is negative.
struct Redirect {
  int target;
  int fd;
  int nullFlags;
};

[[noreturn]] void failChild(int errorFd) {
  const int err = errno;
  (void)!::write(errorFd, &err, sizeof err);
  ::_exit(127);
}

// What the child does between fork and exec when it must switch users, which
// posix_spawn cannot do. Only async-signal-safe calls: other threads of the
// parent may have held locks at the fork. Any failure reports its errno on
// `errorFd` (close-on-exec, so a successful exec reports nothing) and ends the
// child.
[[noreturn]] void execAs(const char* path, char* const argv[], char* const envp[],
                         const std::vector<Redirect>& redirects, const char* dir, bool newSession,
                         const Subprocess::Identity& id, int errorFd, int maxFd) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
  if (newSession && ::setsid() < 0) failChild(errorFd);
  for (const Redirect& r : redirects) {
    int fd = r.fd;
    if (fd < 0 && (fd = ::open("/dev/null", r.nullFlags)) < 0) failChild(errorFd);
    if (fd == r.target) {
      if (::fcntl(fd, F_SETFD, 0) != 0) failChild(errorFd);
    } else if (::dup2(fd, r.target) < 0) {
      failChild(errorFd);
    }
    if (r.fd < 0 && fd != r.target) ::close(fd);
  }
  // Nothing of ours but the standard streams survives the exec.
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = STDERR_FILENO + 1; fd < maxFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (dir && ::chdir(dir) != 0) failChild(errorFd);
  if (::setgroups(id.groups.size(), id.groups.data()) != 0 || ::setgid(id.gid) != 0 ||
      ::setuid(id.uid) != 0) {
    failChild(errorFd);
  }
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);  // NOLINT(concurrency-mt-unsafe): one thread here
  ::execve(path, argv, envp);
  failChild(errorFd);
}

// Children launched here and not reaped yet. The lock is held from a fork
// until its pid is listed and from a reap until it is struck off, so a sweep
// never takes one of them for a stray, nor reaps it from under its watcher;
// never while waiting on a child, which its user may have stopped. Room is
// made before the fork, so listing cannot fail after it. Never destroyed:
// detached watchers may use them while the process exits.
std::mutex& listedLock = *new std::mutex;
std::vector<pid_t>& listedChildren = *new std::vector<pid_t>;
std::atomic<bool> sweeping{false};

bool isListed(pid_t pid) {
  return std::ranges::find(listedChildren, pid) != listedChildren.end();
}

// Under listedLock: reaps `pid` if it has ended, into `raw`, and strikes it
// off. False when it had not ended, or someone else reaped it.
bool reapListed(pid_t pid, int& raw) {
  pid_t got;
  do {
    got = ::waitpid(pid, &raw, WNOHANG);
  } while (got < 0 && errno == EINTR);
  std::erase(listedChildren, pid);
  return got == pid;
}

// Waits, unlocked, until a listed child has ended, then reaps it.
void waitAndReapListed(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> g(listedLock);
  int raw = 0;
  reapListed(pid, raw);
}

// Kills this process's strays of another user and reaps those that ended.
// Those killed here, and those of `killedGroup` (just killed with their
// group), are looked at again until they are reaped, their own children
// coming to us meanwhile: a chain of any depth goes a link per pass. The
// same ones left dying for 0.5 s (stuck in the kernel, or held by a tracer;
// on a busy machine a killed process may wait a while to run its exit), or
// 2 s in all, end the sweep early; what is left waits for the next launched
// child's end.
void sweepStrays(pid_t killedGroup) {
  if (!sweeping.load()) return;
  using Clock = std::chrono::steady_clock;
  const auto began = Clock::now();
  auto unchangedSince = began;
  std::vector<pid_t> before;
  for (auto pause = std::chrono::milliseconds(1);; std::this_thread::sleep_for(pause)) {
    std::vector<pid_t> dying;
    {
      std::lock_guard<std::mutex> g(listedLock);
      for (const pid_t pid : childrenOfSelf()) {
        if (isListed(pid)) continue;
        const auto status = processStatus(pid);
        const bool stray = status && status->realUid != ::getuid();
        if (stray) ::kill(pid, SIGKILL);
        siginfo_t info{};
        const bool reaped =
            ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG) == 0 &&
            info.si_pid == pid;
        // One killed is looked at again even when reaped at once: what it
        // leaves comes to us as it dies, after this pass listed our children.
        if (stray || (!reaped && status && killedGroup > 0 && status->group == killedGroup)) {
          dying.push_back(pid);
        }
      }
    }
    if (dying.empty()) return;
    std::sort(dying.begin(), dying.end());
    const auto now = Clock::now();
    if (dying != before) {
      before = std::move(dying);
      unchangedSince = now;
      pause = std::chrono::milliseconds(1);
    } else {
      pause = std::min(pause * 2, std::chrono::milliseconds(50));  // waiting, not sweeping
    }
    if (now - unchangedSince >= std::chrono::milliseconds(500) ||
        now - began >= std::chrono::seconds(2)) {
      return;
    }
  }
}

// Forks a child that switches to `id` and execs; throws the errno of whatever
// failed before the exec, the child then reaped.
pid_t spawnAs(const std::string& path, char* const argv[], char* const envp[],
              const std::vector<Redirect>& redirects, const std::string& dir, bool newSession,
              const Subprocess::Identity& id) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw Error::fromErrno(errno, "pipe");
  Fd readEnd(report[0]);
  Fd writeEnd(aboveStandardStreams(report[1]));
  rlimit lim{};
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536
                        ? static_cast<int>(lim.rlim_cur)
                        : 65536;
  pid_t pid;
  {
    std::lock_guard<std::mutex> g(listedLock);
    listedChildren.reserve(listedChildren.size() + 1);
    pid = ::fork();
    if (pid < 0) throw Error::fromErrno(errno, "fork");
    if (pid == 0) {
      execAs(path.c_str(), argv, envp, redirects, dir.empty() ? nullptr : dir.c_str(), newSession,
             id, writeEnd.get(), maxFd);
    }
    listedChildren.push_back(pid);
  }
  writeEnd.reset();
  // An errno, or end of file at the exec. A child not there in time is killed
  // (a stopped one too) and its launch fails, as when the wait itself fails.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kExecWithinMilliseconds);
  pollfd watch{readEnd.get(), POLLIN, 0};
  int ready;
  do {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    ready = left > 0 ? ::poll(&watch, 1, static_cast<int>(left) + 1) : 0;
  } while (ready < 0 && errno == EINTR);
  int err = ready < 0 ? errno : ETIMEDOUT;
  if (ready > 0) {
    ssize_t n;
    do {
      n = ::read(readEnd.get(), &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof err)) return pid;  // end of file: the exec happened
  } else {
    ::kill(pid, SIGKILL);
  }
  waitAndReapListed(pid);
  throw Error::fromErrno(err, path);
}

}  // namespace

struct Subprocess::State {
  // Set-up (written before launch by the owner's thread, read by launch()).
  std::string executable;
  std::vector<std::string> arguments;
  std::optional<std::map<std::string, std::string>> environment;
  std::string currentDirectory;
  Stream stdoutMode = Stream::Inherit;
  int stdoutFd = -1;
  Stream stderrMode = Stream::Inherit;
  int stderrFd = -1;
  Stream stdinMode = Stream::Inherit;
  bool newSession = false;
  bool killGroupOnExit = false;
  std::optional<Identity> identity;

  std::weak_ptr<Subprocess> owner;  // the handler's argument; never kept alive here

  mutable std::mutex mu;  // guards everything below
  std::condition_variable cv;
  bool launched = false;
  pid_t pid = 0;
  bool reaped = false;    // the pid is gone: no more signals to it
  bool finished = false;  // reaped and the pipe drained (or its grace ran out)
  int status = -1;
  bool bySignal = false;
  bool pipeOpen = false;  // the reader has not yet seen end of file
  // Signalled once the grace is over: the reader stops even while someone
  // still holds the pipe (a grandchild, or a process of the tool's user
  // that reopened it through /proc), or it would be a thread lost for good.
  Fd stopReading;
  std::string output;
  TerminationHandler handler;
  bool handlerDone = false;  // taken to run (or the owner was gone): never again

  // Runs on the watcher thread: reaps by pid, then hands over to the handler.
  static void watch(std::shared_ptr<State> st);
  // Runs on the reader thread: collects the pipe until end of file.
  static void drain(const std::shared_ptr<State>& st, Fd readEnd);
  void runHandlerIfDue(std::unique_lock<std::mutex>& lock);
};

void Subprocess::State::watch(std::shared_ptr<State> st) {
  const pid_t pid = st->pid;  // written before this thread started
  // Wait without reaping, then reap under the lock: while the lock is held
  // and `reaped` is false the pid cannot be recycled, so sendSignal() never
  // hits a stranger.
  siginfo_t info{};
  int rc;
  do {
    rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  // The unreaped child still holds its group's id (not so if someone else
  // reaped it, and the wait failed).
  if (rc == 0 && st->killGroupOnExit) ::kill(-pid, SIGKILL);

  std::unique_lock<std::mutex> lock(st->mu);
  int raw = 0;
  bool reaped;
  {
    std::lock_guard<std::mutex> g(listedLock);
    reaped = reapListed(pid, raw);
  }
  if (reaped) {
    if (WIFSIGNALED(raw)) {
      st->status = WTERMSIG(raw);
      st->bySignal = true;
    } else if (WIFEXITED(raw)) {
      st->status = WEXITSTATUS(raw);
    }
  } else {
    // Someone else reaped it (SIGCHLD ignored, or a stray waitpid(-1)): the
    // status is lost, but the child is certainly gone.
    helperLog("subprocess " + std::to_string(pid) +
              ": exit status unavailable: " + Error::fromErrno(ECHILD).localizedDescription());
  }
  st->reaped = true;
  st->cv.notify_all();
  lock.unlock();
  sweepStrays(st->killGroupOnExit ? pid : 0);  // what it left behind has come to us by now
  lock.lock();

  st->cv.wait_until(lock, Clock::now() + kPipeGraceAfterExit, [&] { return !st->pipeOpen; });
  st->finished = true;
  if (st->pipeOpen) {
    const uint64_t one = 1;
    (void)!::write(st->stopReading.get(), &one, sizeof one);
  }
  st->cv.notify_all();
  st->runHandlerIfDue(lock);
}

void Subprocess::State::drain(const std::shared_ptr<State>& st, Fd readEnd) {
  char buf[64 * 1024];
  pollfd ready[2] = {{readEnd.get(), POLLIN, 0}, {st->stopReading.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready[1].revents != 0) break;
    ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(st->mu);
    const size_t room = kMaxOutputBytes - std::min(st->output.size(), kMaxOutputBytes);
    st->output.append(buf, std::min(static_cast<size_t>(n), room));
  }
  std::lock_guard<std::mutex> lock(st->mu);
  st->pipeOpen = false;
  st->cv.notify_all();
}

// Caller holds `lock`; it is released while the handler runs.
void Subprocess::State::runHandlerIfDue(std::unique_lock<std::mutex>& lock) {
  if (!finished || handlerDone || !handler) return;
  auto self = owner.lock();
  handlerDone = true;
  TerminationHandler h = std::move(handler);
  handler = nullptr;
  if (!self) return;  // the owner is gone; nobody to tell
  lock.unlock();
  h(*self);
  h = nullptr;  // captures die before the owner reference below
  self.reset();
  lock.lock();
}

std::shared_ptr<Subprocess> Subprocess::create() {
  std::shared_ptr<Subprocess> p(new Subprocess());
  p->st_->owner = p;
  return p;
}

Subprocess::Subprocess() : st_(std::make_shared<State>()) {}

// The watcher and reader hold the State, not the Subprocess, so the child is
// still reaped and its pipe drained after the owner lets go.
Subprocess::~Subprocess() = default;

void Subprocess::setExecutable(std::string path) {
  st_->executable = std::move(path);
}
void Subprocess::setArguments(std::vector<std::string> args) {
  st_->arguments = std::move(args);
}
void Subprocess::setEnvironment(std::map<std::string, std::string> env) {
  st_->environment = std::move(env);
}
void Subprocess::setCurrentDirectory(std::string dir) {
  st_->currentDirectory = std::move(dir);
}

void Subprocess::setNewSession(bool on) {
  st_->newSession = on;
}
void Subprocess::setKillGroupOnExit(bool on) {
  st_->killGroupOnExit = on;
}
void Subprocess::setIdentity(Identity identity) {
  st_->identity = std::move(identity);
}
void Subprocess::setStdout(Stream s, int fd) {
  st_->stdoutMode = s;
  st_->stdoutFd = fd;
}
void Subprocess::setStderr(Stream s, int fd) {
  st_->stderrMode = s;
  st_->stderrFd = fd;
}
void Subprocess::setStdin(Stream s) {
  st_->stdinMode = s;
}

void Subprocess::setTerminationHandler(TerminationHandler handler) {
  std::unique_lock<std::mutex> lock(st_->mu);
  if (st_->handlerDone) return;  // it already ran (or was due with no owner)
  st_->handler = std::move(handler);
  if (st_->finished && st_->handler) {
    // Set after the child ended: it still runs once, just not on the watcher.
    std::weak_ptr<State> weak = st_;
    lock.unlock();
    globalQueue(QoS::Default).async([weak] {
      if (auto st = weak.lock()) {
        std::unique_lock<std::mutex> l(st->mu);
        st->runHandlerIfDue(l);
      }
    });
  }
}

void Subprocess::removeTerminationHandler() {
  TerminationHandler dropped;
  {
    std::lock_guard<std::mutex> lock(st_->mu);
    dropped = std::move(st_->handler);
    st_->handler = nullptr;
  }
  // `dropped` dies here, outside the lock.
}

void Subprocess::launch() {
  State& s = *st_;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.launched) throw Error::fromErrno(EINVAL, "subprocess already launched");
  }
  if (s.executable.empty()) throw Error::fromErrno(ENOENT, "no executable set");

  std::vector<std::string> argStrings;
  argStrings.reserve(s.arguments.size() + 1);
  argStrings.push_back(s.executable);
  argStrings.insert(argStrings.end(), s.arguments.begin(), s.arguments.end());
  std::vector<char*> argv;
  argv.reserve(argStrings.size() + 1);
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  std::vector<char*> envp;
  char** envArray = environ;
  if (s.environment) {
    for (const auto& [k, v] : *s.environment) envStrings.push_back(k + "=" + v);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    envArray = envp.data();
  }

  SpawnSetup setup;
  Fd readEnd, writeEnd;
  bool wantPipe = s.stdoutMode == Stream::Pipe || s.stderrMode == Stream::Pipe;
  if (wantPipe) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw Error::fromErrno(errno, "pipe");
    readEnd = Fd(p[0]);
    writeEnd = Fd(p[1]);
    readEnd = Fd(aboveStandardStreams(readEnd.release()));
    writeEnd = Fd(aboveStandardStreams(writeEnd.release()));
    // Ours alone, not the child's end: whoever else reads the pipe (through
    // /proc) and takes what poll saw must not leave the reader blocked.
    if (::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK) != 0) throw Error::fromErrno(errno, "fcntl");
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0) throw Error::fromErrno(errno, "eventfd");
    s.stopReading = Fd(aboveStandardStreams(stop));
  }

  std::vector<Redirect> redirects;
  if (s.stdinMode == Stream::Null) redirects.push_back({STDIN_FILENO, -1, O_RDONLY});
  auto route = [&](Stream mode, int fd, int target) {
    switch (mode) {
      case Stream::Inherit:
        return;
      case Stream::Null:
        redirects.push_back({target, -1, O_WRONLY});
        return;
      case Stream::Pipe:
        redirects.push_back({target, writeEnd.get(), 0});
        return;
      case Stream::File:
        if (fd < 0) throw Error::fromErrno(EBADF, "no descriptor for output file");
        redirects.push_back({target, fd, 0});
        return;
    }
  };
  route(s.stdoutMode, s.stdoutFd, STDOUT_FILENO);
  route(s.stderrMode, s.stderrFd, STDERR_FILENO);

  pid_t pid = 0;
  // A group to kill must be the child's own, never ours.
  const bool newSession = s.newSession || s.killGroupOnExit;
  const bool switchUser =
      s.identity && !(::getuid() == s.identity->uid && ::geteuid() == s.identity->uid &&
                      ::getgid() == s.identity->gid && ::getegid() == s.identity->gid);
  if (switchUser) {
    pid = spawnAs(s.executable, argv.data(), envArray, redirects, s.currentDirectory, newSession,
                  *s.identity);
  } else {
    for (const Redirect& r : redirects) {
      // dup2 to the standard number leaves the copy without close-on-exec.
      check(r.fd < 0 ? posix_spawn_file_actions_addopen(&setup.actions, r.target, "/dev/null",
                                                        r.nullFlags, 0)
                     : posix_spawn_file_actions_adddup2(&setup.actions, r.fd, r.target),
            "posix_spawn_file_actions");
    }
    // The child gets the three standard streams and nothing else of ours.
    check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1),
          "posix_spawn_file_actions_addclosefrom_np");
    if (!s.currentDirectory.empty()) {
      check(posix_spawn_file_actions_addchdir_np(&setup.actions, s.currentDirectory.c_str()),
            "posix_spawn_file_actions_addchdir_np");
    }

    // Whatever the daemon does with signals, the child starts clean: empty
    // mask and every signal at its default action (SIGPIPE included).
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    check(posix_spawnattr_setsigmask(&setup.attr, &empty), "posix_spawnattr_setsigmask");
    check(posix_spawnattr_setsigdefault(&setup.attr, &all), "posix_spawnattr_setsigdefault");
    const short flags =
        POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | (newSession ? POSIX_SPAWN_SETSID : 0);
    check(posix_spawnattr_setflags(&setup.attr, flags), "posix_spawnattr_setflags");

    // glibc's posix_spawn waits for the exec, so a failed exec (missing file,
    // no permission, not an executable format) comes back here as its errno.
    // Listed at once: a child of root's own is nobody else's to stop, so
    // the lock is never held waiting on a stopped one.
    std::lock_guard<std::mutex> g(listedLock);
    listedChildren.reserve(listedChildren.size() + 1);
    const int rc = ::posix_spawn(&pid, s.executable.c_str(), &setup.actions, &setup.attr,
                                 argv.data(), envArray);
    if (rc != 0) throw Error::fromErrno(rc, s.executable);
    listedChildren.push_back(pid);
  }
  writeEnd.reset();  // the child has its copy; end of file comes when it (and its heirs) close

  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.launched = true;
    s.pid = pid;
    s.pipeOpen = wantPipe;
  }
  try {
    if (wantPipe) std::thread(&State::drain, st_, std::move(readEnd)).detach();
    std::thread(&State::watch, st_).detach();
  } catch (const std::system_error& e) {
    // With no thread to watch it (a task limit reached), the child would be
    // nobody's: it is ended and reaped here, and the caller sees a launch
    // that failed, as when the spawn itself fails.
    ::kill(newSession ? -pid : pid, SIGKILL);
    waitAndReapListed(pid);
    std::lock_guard<std::mutex> lock(s.mu);
    if (wantPipe) {
      const uint64_t one = 1;
      (void)!::write(s.stopReading.get(), &one, sizeof one);  // a reader that did start
    }
    s.reaped = s.finished = s.handlerDone = true;
    s.handler = nullptr;
    s.cv.notify_all();
    throw Error::fromErrno(e.code().value(), "thread for " + s.executable);
  }
}

pid_t Subprocess::pid() const {
  std::lock_guard<std::mutex> lock(st_->mu);
  return st_->pid;
}

bool Subprocess::isRunning() const {
  std::lock_guard<std::mutex> lock(st_->mu);
  return st_->launched && !st_->reaped;
}

void Subprocess::terminate() {
  sendSignal(SIGTERM);
}

void Subprocess::sendSignal(int signo) {
  // Under the lock, with `reaped` false, the pid is still our (possibly
  // zombie) child and cannot have been reused.
  std::lock_guard<std::mutex> lock(st_->mu);
  if (st_->launched && !st_->reaped && st_->pid > 0) ::kill(st_->pid, signo);
}

void Subprocess::waitUntilExit() {
  std::unique_lock<std::mutex> lock(st_->mu);
  if (!st_->launched) return;
  st_->cv.wait(lock, [this] { return st_->finished; });
}

bool Subprocess::waitUntilExit(Seconds timeout) {
  std::unique_lock<std::mutex> lock(st_->mu);
  if (!st_->launched) return false;
  auto done = [this] { return st_->finished; };
  // Beyond a century the deadline would overflow the clock: wait unbounded.
  if (timeout > std::chrono::hours(24 * 365 * 100)) {
    st_->cv.wait(lock, done);
    return true;
  }
  return st_->cv.wait_for(lock, std::chrono::duration_cast<Clock::duration>(timeout), done);
}

bool Subprocess::waitUntilExitOrKill(Seconds timeout) {
  if (waitUntilExit(timeout)) return true;
  sendSignal(SIGKILL);
  waitUntilExit(kKilledChildGrace);
  return false;
}

int Subprocess::terminationStatus() const {
  std::lock_guard<std::mutex> lock(st_->mu);
  return st_->status;
}

bool Subprocess::terminatedBySignal() const {
  std::lock_guard<std::mutex> lock(st_->mu);
  return st_->bySignal;
}

std::string Subprocess::output() const {
  std::lock_guard<std::mutex> lock(st_->mu);
  return st_->output;
}

ToolResult runTool(const std::string& path, const std::vector<std::string>& args,
                   const ToolOptions& options) {
  ToolResult result;
  auto p = Subprocess::create();
  p->setExecutable(path);
  p->setArguments(args);
  if (options.environment) p->setEnvironment(*options.environment);
  if (options.identity) p->setIdentity(*options.identity);
  // A tool must never sit waiting for input that will not come, nor leave
  // anything running after it (a tool run as a user is that user's to steer).
  p->setStdin(Subprocess::Stream::Null);
  p->setKillGroupOnExit(true);
  if (options.captureOutput) {
    p->setStdout(Subprocess::Stream::Pipe);
    p->setStderr(options.captureErrors ? Subprocess::Stream::Pipe : Subprocess::Stream::Null);
  }
  try {
    p->launch();
  } catch (const Error& e) {
    result.launchError = e;
    return result;
  }
  result.launched = true;
  if (options.timeoutSeconds > 0) {
    if (!p->waitUntilExitOrKill(Seconds(options.timeoutSeconds))) {
      result.timedOut = true;
      if (!p->waitUntilExit(Seconds(0))) return result;  // stuck even after SIGKILL
    }
  }
  p->waitUntilExit();
  result.status = p->terminationStatus();
  result.bySignal = p->terminatedBySignal();
  result.output = p->output();
  return result;
}

void adoptOrphans() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) sweeping.store(true);
}

std::map<std::string, std::string> currentEnvironment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    env.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
  }
  return env;
}

}  // namespace zelvo::platform
