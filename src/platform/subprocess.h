// Subprocess: the NSTask stand-in. Launches a program with posix_spawn (no
// shell), with arguments, environment, working directory and standard streams
// inherited, sent to a file, or captured through a pipe.
//
// The child is reaped by its pid only (never waitpid(-1)), by a watcher that
// blocks until it exits; piped output is drained while the child runs, so a
// talkative child cannot block. The termination handler runs once, on the
// watcher's thread, after the exit status is known; it can be removed.
//
// Thread-safe: any thread may query or terminate while another waits.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"

namespace zelvo::platform {

class Subprocess : public std::enable_shared_from_this<Subprocess> {
 public:
  enum class Stream { Inherit, Null, Pipe, File };
  using TerminationHandler = std::function<void(Subprocess&)>;

  static std::shared_ptr<Subprocess> create();
  ~Subprocess();  // does not signal the child; a running child is left running
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // --- Set-up, before launch() ---
  void setExecutable(std::string path);
  void setArguments(std::vector<std::string> args);  // argv[1..]
  // The child's environment; when never set, the parent's is inherited.
  void setEnvironment(std::map<std::string, std::string> env);
  void setCurrentDirectory(std::string dir);
  // Standard output and error. With Stream::File the descriptor is dup'ed at
  // launch (the caller keeps and closes its own). With Stream::Pipe both
  // streams share one pipe whose content is collected in output().
  void setStdout(Stream s, int fd = -1);
  void setStderr(Stream s, int fd = -1);
  void setStdin(Stream s);  // Inherit (default) or Null
  // Starts the child in a session (and process group) of its own, so that a
  // signal to the parent's group, a terminal's Ctrl-C say, does not reach it.
  void setNewSession(bool on);
  // Implies a new session. When the child exits, whatever is left in its
  // process group (a background process it started, or one started in its
  // name) is killed before the child is reaped, so that the group's id
  // cannot have passed to a stranger. What left the group on purpose
  // (setsid) or was never in it (started by a bus on the tool's behalf) is
  // not touched.
  void setKillGroupOnExit(bool on);
  // Runs the child as another user: supplementary groups, then group, then
  // user id are switched in the child before exec, so it keeps no privilege
  // of ours. Switching needs the privilege to (the daemon runs as root);
  // when this process already runs as exactly that user and group, nothing
  // is switched. A switch that fails fails launch() with its errno.
  struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
  };
  void setIdentity(Identity identity);
  void setTerminationHandler(TerminationHandler handler);
  void removeTerminationHandler();

  // Starts the child. Throws Error (the errno of the failed spawn, such as
  // ENOENT or EACCES or ENOEXEC, or EAGAIN when no thread could be made to
  // watch it) when it cannot be started.
  void launch();

  // --- After launch() ---
  pid_t pid() const;
  bool isRunning() const;
  void terminate();            // SIGTERM
  void sendSignal(int signo);  // no effect once reaped
  void waitUntilExit();
  // Waits at most `timeout`; true when the child has exited.
  bool waitUntilExit(Seconds timeout);
  // The same, then SIGKILL and 3 s more (the pipe's grace included) for a
  // child still running; false when it overran. Even SIGKILL waits for one
  // stuck in the kernel (reading a hung mount): its watcher reaps it whenever
  // it ends.
  bool waitUntilExitOrKill(Seconds timeout);
  // Exit code, or the signal number when a signal ended the child.
  int terminationStatus() const;
  bool terminatedBySignal() const;
  // Everything read from the pipe so far (complete once the child has exited
  // and the pipe reached end of file), up to kMaxOutputBytes: past that the
  // pipe is still drained but nothing more is kept, since some tools run as
  // a user whose settings decide what they print.
  std::string output() const;
  static constexpr size_t kMaxOutputBytes = 1u << 20;

  struct State;

 private:
  Subprocess();
  std::shared_ptr<State> st_;
};

// Runs a tool to completion, in a process group of its own that is killed
// when it exits. `timeout` <= 0 means no bound; a child still running at the
// bound is killed (SIGKILL) and `timedOut` is set, and the run is reported
// without waiting for it much beyond (see waitUntilExitOrKill).
struct ToolResult {
  bool launched = false;
  std::optional<Error> launchError;
  int status = -1;
  bool bySignal = false;
  bool timedOut = false;
  std::string output;  // combined stdout+stderr when captured (see captureErrors)
};
struct ToolOptions {
  bool captureOutput = true;  // false: streams inherited
  double timeoutSeconds = 0;
  std::optional<std::map<std::string, std::string>> environment = std::nullopt;  // unset: inherited
  std::optional<Subprocess::Identity> identity = std::nullopt;                   // unset: ours
  bool captureErrors = true;  // false: standard error discarded, the output is stdout's alone
};
ToolResult runTool(const std::string& path, const std::vector<std::string>& args,
                   const ToolOptions& options = {});

// Makes this process the reaper of whatever its children leave behind
// (PR_SET_CHILD_SUBREAPER), so that a tool's descendants stay within reach
// however they detach. From then on, whenever a child launched here ends,
// the children that were not launched here are swept: those of another user (what a tool
// run as a desktop user left running) are killed, and the ended ones reaped.
void adoptOrphans();

// The parent's environment as a map.
std::map<std::string, std::string> currentEnvironment();

}  // namespace zelvo::platform
