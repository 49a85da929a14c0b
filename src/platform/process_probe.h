// Process probes by process id, for processes the daemon did not launch (an
// adopted kernel, the client application).
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

namespace zelvo::platform {

// True when `pid` names no live process: kill(pid, 0) fails with ESRCH, or
// the process has already exited and only its zombie entry is left (a zombie
// answers kill(pid, 0) until its parent reaps it, which an orphan's adoptive
// parent may never do). Any other outcome, a permission error included,
// counts as alive.
bool processIsGone(pid_t pid);

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
