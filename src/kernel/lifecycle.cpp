// The kernel's process lifecycle: start, launch, stop, reload, the exit
// notice, and finding or killing kernels by their command line.
//
// Mutual exclusion: every lifecycle operation holds lifecycleLock_ for its
// whole run, so the steps of one never interleave with another's (a start
// racing a stop, a restart racing the exit notice). The lock is recursive
// because the operations call each other (start -> launchKernel -> cleanup,
// handleTermination -> attemptAutoRestart). Status readers and the reader
// loop never take it: they read snapshots under fieldsLock_, which is only
// ever held for a field access, so a stop() waiting 5 s for its kernel holds
// up nothing but other lifecycle operations.
//
// Tying exit notices to their process: every launch gets a new generation
// number, captured by that child's termination handler, and dropping the
// process handle (cleanup) moves the number on. A notice whose generation is
// no longer current belongs to a kernel that has since been stopped or
// replaced; it is logged and otherwise ignored, so the late exit of an old
// kernel never cleans up or changes the state of a newer one. (For a kernel
// that stop() ended, ignoring its notice is what handling it would do: the
// clean-up is done and nobody wants a restart.)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string_view>
#include <utility>

#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"
#include "platform/log.h"

namespace zelvo {

namespace {

// Tools that find or signal processes answer in milliseconds; the bound only
// keeps a wedged tool from holding the lifecycle for ever.
constexpr double kToolTimeoutSeconds = 10.0;

platform::Error managerError(const std::string& message) {
  return platform::Error(KernelProcessManager::kErrorDomain, -1, message);
}

// `text` as an extended regular expression that matches exactly it.
std::string regexLiteral(std::string_view text) {
  constexpr std::string_view special = ".[]()*+?{}|^$\\";
  std::string out;
  for (const char c : text) {
    if (special.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

void KernelProcessManager::start(const std::string& config) {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);

  const bool kernelThere = state().isRunning() || currentKernelPid() >= 1;
  if (kernelThere) {
    log("start: 已有内核/残留在跑 → 先停后用新配置重起");
    desiredRunning_ = false;
    adopting_ = false;
    cancelAdoptLivenessTimer();
    adoptedPid_ = 0;
    if (auto old = process()) old->removeTerminationHandler();
    cleanup();
    setState(KernelProcessState::stopped());
  }

  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    currentConfigYAML_ = config;
  }
  removeConfigFile();
  log("Config held in memory (" + std::to_string(config.size()) + " bytes), not written to disk");

  desiredRunning_ = true;
  restartAttempts_ = 0;
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    lastMode_.reset();
    lastSelections_.clear();
  }
  {
    std::lock_guard<std::mutex> g(pushedDelaysLock);
    pushedDelays_.clear();
  }

  launchKernel();
}

void KernelProcessManager::launchKernel() {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);

  cancelAdoptLivenessTimer();
  adoptedPid_ = 0;
  // Any launch supersedes a re-adoption still waiting for its kernel: that
  // wait must then end quietly instead of marking the new kernel stopped.
  adopting_ = false;
  setState(KernelProcessState::starting());

  bool found = false;
  const std::string candidate = binaryPath(found);
  if (!found) {
    const std::string message = "kernel binary not found at: " + candidate;
    setState(KernelProcessState::error(message));
    throw managerError(message);
  }

  killStaleKernel();

  const std::string socketPath = platform::joinPath(homeDir(), "control.sock");
  try {
    setupControlSocket(socketPath);
  } catch (const platform::Error& e) {
    setState(
        KernelProcessState::error("Failed to open control socket: " + e.localizedDescription()));
    throw;
  }

  auto child = platform::Subprocess::create();
  // Looked up afresh (and logged again): a kernel installed at the preferred
  // place while the sweep ran is the one to start.
  child->setExecutable(binaryPath());
  child->setArguments({socketPath});
  child->setCurrentDirectory(homeDir());
  // Its own session: whatever signals the daemon's group (a terminal's
  // Ctrl-C, a supervisor) must not end the kernel, or re-adoption is moot.
  child->setNewSession(true);
  auto env = platform::currentEnvironment();
  // Assigned as a string: GCC 12 warns falsely (-Wrestrict) on a literal here.
  env["ZELVAN_REDACT_LOG"] = std::string("1");
  child->setEnvironment(std::move(env));

  // The kernel's own output is appended across runs, never truncated. It is
  // for root's eyes only, and a link planted there is not followed: the
  // kernel then runs without a log, as when the file cannot be opened.
  const std::string logPath = platform::joinPath(dataPath(), "kernel.log");
  const int logFd =
      ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (logFd >= 0) {
    ::fchmod(logFd, 0600);     // a file from an earlier run may be looser
    std::string banner = "[";  // built up in steps for the same false warning
    banner += platform::isoTimestampUtc();
    banner += "] kernel starting...\n";
    [[maybe_unused]] ssize_t n = ::write(logFd, banner.data(), banner.size());
    child->setStdout(platform::Subprocess::Stream::File, logFd);
    child->setStderr(platform::Subprocess::Stream::File, logFd);
  }

  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    generation = ++processGeneration_;
  }
  std::weak_ptr<KernelProcessManager> weakSelf = weak();
  child->setTerminationHandler([weakSelf, generation](platform::Subprocess& exited) {
    const int code = exited.terminationStatus();
    // Not on the main queue: the notice takes the lifecycle lock, and the
    // replies of unrelated requests go out through the main queue; they must
    // never wait behind a stop or a start.
    platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, generation, code] {
      if (auto self = weakSelf.lock()) self->handleTermination(code, generation);
    });
  });

  try {
    child->launch();
  } catch (const platform::Error& e) {
    if (logFd >= 0) ::close(logFd);
    setState(KernelProcessState::error("Failed to start kernel: " + e.localizedDescription()));
    closeControlSocket();
    throw;
  }
  if (logFd >= 0) ::close(logFd);

  kernelPeerPid_.store(child->pid());
  setProcess(child);
  setState(KernelProcessState::running());
  log("kernel started with PID: " + std::to_string(child->pid()));

  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, generation] {
    if (auto self = weakSelf.lock()) self->acceptAndDrive(generation);
  });
}

void KernelProcessManager::stop() {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);

  desiredRunning_ = false;
  cancelAdoptLivenessTimer();
  adoptedPid_ = 0;

  auto child = process();
  if (state().isRunning() && child) {
    setState(KernelProcessState::stopping());
    log("Stopping kernel...");
    if (controlFd() >= 0) {
      // Fire and forget: a kernel that stopped reading gets its SIGTERM anyway.
      writeFrame("0", "shutdown", "", 0);
      log("→ shutdown (no-wait)");
      platform::sleepFor(platform::Seconds(0.2));
    }
    child->terminate();
    const auto began = std::chrono::steady_clock::now();
    while (child->isRunning() &&
           std::chrono::steady_clock::now() - began < std::chrono::duration<double>(5.0)) {
      platform::sleepFor(platform::Seconds(0.1));
    }
    if (child->isRunning()) {
      log("Force killing kernel...");
      child->sendSignal(SIGKILL);
    }
  } else {
    log("no tracked kernel; will still kill any orphan");
  }

  killStaleKernel();
  cleanup();
  removeConfigFile();
  setState(KernelProcessState::stopped());
  log("kernel stopped");
}

pid_t KernelProcessManager::currentKernelPid() {
  platform::ToolOptions options;
  options.captureOutput = true;
  options.captureErrors = false;  // a warning there is not a process number
  options.timeoutSeconds = kToolTimeoutSeconds;
  const auto result =
      platform::runTool(platform::hostPath("/usr/bin/pgrep"), kernelMatchArguments(), options);
  if (!result.launched) return 0;

  std::string out = result.output;
  const char* ws = " \t\r\n";
  const auto first = out.find_first_not_of(ws);
  if (first == std::string::npos) return 0;
  out = out.substr(first, out.find_last_not_of(ws) - first + 1);
  std::string line = out.substr(0, out.find('\n'));
  if (line.empty() || line.size() > 10) return 0;
  for (char c : line) {
    if (c < '0' || c > '9') return 0;
  }
  return static_cast<pid_t>(std::stol(line));
}

void KernelProcessManager::reload(const std::string& config) {
  {
    std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
    if (!state().isRunning()) throw managerError("kernel not running");
    {
      std::lock_guard<std::mutex> g(fieldsLock_);
      currentConfigYAML_ = config;
    }
    log("Config updated in memory, re-applying via setupConfig...");
  }
  // Sent outside the lifecycle lock: a kernel that does not answer must not
  // hold a stop() back for the 5 s time-out.
  sendSetupConfig();
}

void KernelProcessManager::killStaleKernel() {
  platform::ToolOptions options;
  options.captureOutput = false;
  options.timeoutSeconds = kToolTimeoutSeconds;
  platform::runTool(platform::hostPath("/usr/bin/pkill"), kernelMatchArguments(), options);
  platform::sleepFor(platform::Seconds(0.4));
}

std::vector<std::string> KernelProcessManager::kernelMatchArguments() {
  // Only processes of our user whose command line starts with one of this
  // root's two kernel paths (the kernel is launched with its full path as
  // argv[0]): a user's process named like the kernel, or the kernel of a
  // daemon under another root, is never reported, adopted or signalled. Real
  // and effective uid both: any user may start a set-user-ID program (su at
  // its password prompt) under the kernel's name, which has our effective uid
  // but keeps theirs as its real one. A kernel that is a script runs as its
  // interpreter (and the interpreter's flags) followed by its path; other
  // programs given the path, an editor or a pager, are not kernels.
  const std::string preinstalled =
      platform::joinPath(platform::hostPath(kPreinstalledDirectory), binaryName);
  const std::string installed = platform::joinPath(dataPath(), binaryName);
  const std::string interpreter =
      "(([^ ]*/)?(python|pypy|perl|ruby|node|nodejs|bash|sh|dash|zsh|ksh|lua|php)[0-9.]*"
      "( -[^ ]+)* )?";
  const std::string pattern = "^" + interpreter + "(" + regexLiteral(preinstalled) + "|" +
                              regexLiteral(installed) + ")( |$)";
  return {"-U", std::to_string(::getuid()), "-u", std::to_string(::geteuid()), "-f", pattern};
}

void KernelProcessManager::handleTermination(int exitCode, uint64_t generation) {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  log("kernel terminated with exit code: " + std::to_string(exitCode));
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    if (generation != processGeneration_) return;  // an older kernel's late notice
  }
  cleanup();
  if (exitCode != 0 && state().isRunning()) {
    setState(KernelProcessState::error("kernel exited with code: " + std::to_string(exitCode)));
  } else {
    setState(KernelProcessState::stopped());
  }
  if (desiredRunning_) attemptAutoRestart("exit code " + std::to_string(exitCode));
}

void KernelProcessManager::cleanup() {
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    process_.reset();
    // Whatever exit notice of the dropped process is still on its way (the
    // kernel may have died just before a start replaced it) is stale now.
    ++processGeneration_;
  }
  closeControlSocket();
}

}  // namespace zelvo
