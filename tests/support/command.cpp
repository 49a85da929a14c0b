#include "command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "sandbox_root.h"

extern char** environ;

namespace zelvo::testing {

CommandResult runCommand(const std::vector<std::string>& argv, double timeoutSeconds) {
  CommandResult r;
  char outPath[] = "/tmp/zelvo-cmd-out-XXXXXX";
  char errPath[] = "/tmp/zelvo-cmd-err-XXXXXX";
  int outFd = mkstemp(outPath);
  int errFd = mkstemp(errPath);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outFd);
  ::close(errFd);
  if (rc == 0) {
    r.pid = pid;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(timeoutSeconds));
    int status = 0;
    for (;;) {
      pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        r.timedOut = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!r.timedOut && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  }
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  ::unlink(outPath);
  ::unlink(errPath);
  return r;
}

}  // namespace zelvo::testing
