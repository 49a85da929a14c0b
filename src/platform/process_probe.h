// Process probes by process id, for processes the daemon did not launch (an
// adopted kernel, the client application).
#pragma once

#include <sys/types.h>

namespace zelvo::platform {

// True when `pid` names no live process: kill(pid, 0) fails with ESRCH, or
// the process has already exited and only its zombie entry is left (a zombie
// answers kill(pid, 0) until its parent reaps it, which an orphan's adoptive
// parent may never do). Any other outcome, a permission error included,
// counts as alive.
bool processIsGone(pid_t pid);

}  // namespace zelvo::platform
