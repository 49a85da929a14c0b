#include "platform/process_probe.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

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

std::shared_ptr<const ProcessHandle> ProcessHandle::ofPeer(int socketFd, pid_t pid) {
#ifdef SO_PEERPIDFD
  constexpr int kPeerPidfd = SO_PEERPIDFD;
#else
  constexpr int kPeerPidfd = 77;  // where the headers predate it; an older kernel refuses it
#endif
  int fd = -1;
  socklen_t size = sizeof fd;
  if (pid > 0 && ::getsockopt(socketFd, SOL_SOCKET, kPeerPidfd, &fd, &size) == 0 && fd >= 0) {
    return std::shared_ptr<const ProcessHandle>(new ProcessHandle(pid, fd));
  }
  return ofPid(pid);
}

std::shared_ptr<const ProcessHandle> ProcessHandle::ofPid(pid_t pid) {
  // Opened close-on-exec; -1 where the kernel has no pidfds.
#ifdef SYS_pidfd_open
  const int fd = pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
#else
  const int fd = -1;
#endif
  return std::shared_ptr<const ProcessHandle>(new ProcessHandle(pid, fd));
}

ProcessHandle::~ProcessHandle() {
  if (fd_ >= 0) ::close(fd_);
}

bool ProcessHandle::gone() const {
  if (fd_ < 0) return processIsGone(pid_);
  pollfd p{fd_, POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? processIsGone(pid_) : n > 0;
}

std::optional<ProcessStatus> processStatus(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  ProcessStatus status;
  bool parent = false, uid = false;
  // Lines, not words: a process may name itself "Uid:". The group line is
  // missing where the kernel has no PID namespaces; it then reads as 0.
  for (std::string line; std::getline(in, line);) {
    const auto after = [&](std::string_view key) { return std::atol(line.c_str() + key.size()); };
    if (line.starts_with("PPid:")) {
      status.parent = static_cast<pid_t>(after("PPid:"));
      parent = true;
    } else if (line.starts_with("Uid:")) {  // the real uid comes first
      status.realUid = static_cast<uid_t>(after("Uid:"));
      uid = true;
    } else if (line.starts_with("NSpgid:")) {
      status.group = static_cast<pid_t>(after("NSpgid:"));
      break;
    }
  }
  if (!parent || !uid) return std::nullopt;
  return status;
}

std::vector<pid_t> childrenOfSelf() {
  std::vector<pid_t> found;
  namespace fs = std::filesystem;
  std::error_code ec;
  bool listed = false;
  for (auto it = fs::directory_iterator("/proc/self/task", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::ifstream in(it->path() / "children");
    listed = listed || in.is_open();
    for (pid_t pid = 0; in >> pid;) found.push_back(pid);
  }
  if (listed) return found;
  const pid_t self = ::getpid();
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::atol(name.c_str()));
    const auto status = processStatus(pid);
    if (status && status->parent == self) found.push_back(pid);
  }
  return found;
}

}  // namespace zelvo::platform
