// Looking at the machine from outside, as the tests and the benchmarks do:
// the process table under /proc and free loopback ports. Header-only and free
// of the test framework, so that the benchmarks share it.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::testing {

// The whole of a /proc/<pid>/<name> file ("stat", "cmdline", "status"),
// empty when the process is gone.
inline std::string procFile(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every process id in the table.
inline std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  DIR* d = ::opendir("/proc");
  if (!d) return pids;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (end && *end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(d);
  return pids;
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z', ...), 0 when gone.
inline char processState(pid_t pid) {
  const std::string stat = procFile(pid, "stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

inline pid_t parentOf(pid_t pid) {
  const std::string stat = procFile(pid, "stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  return static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
}

// Running, and not a zombie waiting to be reaped.
inline bool processAlive(pid_t pid) {
  const char s = processState(pid);
  return s != 0 && s != 'Z' && s != 'X';
}

// The program path a process was started with (its first command-line word).
inline std::string programOf(pid_t pid) {
  const std::string cmdline = procFile(pid, "cmdline");
  return cmdline.substr(0, cmdline.find('\0'));
}

// How many descriptors a process holds, of them those whose target starts
// with `kind` ("pipe:", say); 0 once it is gone.
inline int openFds(pid_t pid, std::string_view kind = "") {
  int n = 0;
  std::error_code ec, gone;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    n += std::filesystem::read_symlink(it->path(), gone).string().starts_with(kind);
  }
  return n;
}

// A port on 127.0.0.1 that nobody listened on a moment ago.
inline uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace zelvo::testing
