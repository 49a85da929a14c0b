#include "platform/process_probe.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace zelvo::platform {

namespace {

bool isZombie(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  // The command name is in parentheses and may itself hold ") ", so the state
  // is the field after the last ')'.
  const auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  return line[close + 2] == 'Z' || line[close + 2] == 'X';
}

}  // namespace

bool processIsGone(pid_t pid) {
  if (pid < 1) return true;
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  return isZombie(pid);
}

}  // namespace zelvo::platform
