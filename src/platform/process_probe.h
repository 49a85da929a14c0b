// Process probes by process id, for processes the daemon did not launch (an
// adopted kernel, the client application).
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <vector>

namespace zelvo::platform {

// True when `pid` names no live process: kill(pid, 0) fails with ESRCH, or
// the process has already exited and only its zombie entry is left (a zombie
// answers kill(pid, 0) until its parent reaps it, which an orphan's adoptive
// parent may never do). Any other outcome, a permission error included,
// counts as alive.
bool processIsGone(pid_t pid);

// A process known by more than its number. Where the system can refer to the
// process itself (a pidfd), one that has ended reads as gone even once its
// number has gone to a newcomer, which a probe by number would take for it;
// elsewhere its number is probed as processIsGone does. Immutable; may be
// shared between threads.
class ProcessHandle {
 public:
  // The peer of a connected Unix socket, the very process that connected
  // (its number `pid` as read with SO_PEERCRED), or where the system cannot
  // say, the process now numbered `pid`.
  static std::shared_ptr<const ProcessHandle> ofPeer(int socketFd, pid_t pid);
  // The process now numbered `pid`.
  static std::shared_ptr<const ProcessHandle> ofPid(pid_t pid);
  ~ProcessHandle();
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  pid_t pid() const { return pid_; }
  // True once the process has exited (a zombie included).
  bool gone() const;

 private:
  ProcessHandle(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  pid_t pid_;
  int fd_;  // its pidfd, or -1
};

// What /proc/<pid>/status says of a process; nothing once it is gone.
struct ProcessStatus {
  pid_t parent = 0;
  uid_t realUid = 0;
  pid_t group = 0;  // its process group, as this process's namespace sees it
};
std::optional<ProcessStatus> processStatus(pid_t pid);

// This process's children, those it launched and those handed to it as
// orphans: from the lists the kernel keeps per thread, or where it keeps
// none, from every process's parent.
std::vector<pid_t> childrenOfSelf();

}  // namespace zelvo::platform
