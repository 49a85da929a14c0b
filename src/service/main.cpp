// zelvo-helper: the privileged helper daemon's entry routine.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/host_backend.h"
#include "kernel/kernel_process_manager.h"
#include "platform/dispatch.h"
#include "platform/host_paths.h"
#include "platform/ipc_connection.h"
#include "platform/log.h"
#include "platform/subprocess.h"
#include "service/caller_policy.h"
#include "service/helper.h"
#include "service/helper_protocol.h"
#include "service/ipc_service.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

using namespace zelvo;

namespace {

// Started with a standard stream closed, the daemon's first descriptors would
// take its number: log lines would go into whatever that became (a client's
// connection, the control connection) and every child would inherit it as a
// standard stream. The null device holds those numbers instead.
void openClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower numbers are open by now, so this takes `fd` itself.
    const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

// The configuration, proxy passwords and all, is kept in memory only: a crash
// must not write it out as a core dump. The kernel inherits the limit. Not
// dumpable, the daemon is not handed to a crash handler that core_pattern
// pipes to either, which may ignore the limit. Run as any user but root (a
// developer's test run) it stays dumpable: otherwise that user could no
// longer look at its descriptors.
void forbidCoreDumps() {
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
  if (::geteuid() == 0) ::prctl(PR_SET_DUMPABLE, 0);
}

// Held for the daemon's life, next to its socket.
constexpr const char* kInstanceLockPath = "/var/run/com.zelvo.svc.helper.lock";

// Two daemons on one root would take each other's socket and fight over the
// kernel. The lock goes with the process that holds it, so a restart right
// after a kill finds it free within moments; a live holder is waited for
// about that long. False: another daemon holds it. A lock that cannot be
// made at all does not keep the daemon from its work.
bool serveThisRootAlone(const std::string& lockPath) {
  ::mkdir(lockPath.substr(0, lockPath.rfind('/')).c_str(), 0755);
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    platform::systemLog("[Helper] Warning: cannot open " + lockPath +
                        "; a second daemon on this root would go unnoticed");
    return true;
  }
  for (int tries = 0; tries < 40; ++tries) {
    // Kept open (and so held) until the process ends.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      platform::systemLog("[Helper] Warning: cannot lock " + lockPath +
                          "; a second daemon on this root would go unnoticed");
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::close(fd);
  return false;
}

// Each client connection holds a descriptor; the soft limit (often 1,024)
// would be reached long before the connection caps are.
void raiseDescriptorLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= lim.rlim_max) return;
  lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 65536);
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

// A configuration passes through several buffers of its own size (the
// request, the text kept, the escaped setupConfig frame), megabytes for a
// large subscription. glibc serves such a buffer by mmap and returns it on
// free, but each such free also raises the size it mmaps from (up to 32
// MiB), so the next configuration's buffers come from the heap and stay
// there: a 7 MB configuration started and reloaded left the daemon at 77
// MiB resident. A fixed threshold, glibc's own starting one, keeps them off
// the heap: 11 MiB, the kept text included.
void keepLargeBuffersOffTheHeap() {
#if defined(__GLIBC__)
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);  // NOLINT(concurrency-mt-unsafe): before any thread
#endif
}
}  // namespace

int main(int argc, char** argv) {
  openClosedStandardStreams();
  // Signal dispositions and the mask are inherited across exec. An ignored
  // SIGCHLD would have every child reaped unseen, its exit status lost and a
  // wait for one child last until all are gone; a blocked SIGTERM would keep
  // the service manager from stopping the daemon.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe): before any thread
  ::signal(SIGCHLD, SIG_DFL);
  // A client that hangs up mid-reply must cost an EPIPE, not the process.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"zelvo-helper: the privileged helper of the zelvo proxy client"};
  std::string root = "/";
  app.add_option("--root", root, "Filesystem root under which every host path is resolved")
      ->capture_default_str();
  std::string ownerGroup = CallerPolicy::kDefaultOwnerGroup;
  app.add_option("--owner-group", ownerGroup,
                 "Members of this group may control the helper (besides root)")
      ->capture_default_str();
  std::vector<uid_t> ownerUids;
  app.add_option("--owner-uid", ownerUids, "A user id that may control the helper (repeatable)")
      ->allow_extra_args(false);
  bool allowAnyCaller = false;
  app.add_flag("--allow-any-caller", allowAnyCaller,
               "Let every local user control the helper (unsafe: it runs uploads as root)");
  std::string hostName = "macos";
  app.add_option("--host", hostName,
                 "What the host's system proxy, DNS flush and removal go through: macos "
                 "(networksetup, launchd) or linux (desktop sessions' gsettings, systemd)")
      ->check(CLI::IsMember({"macos", "linux"}))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  platform::setRoot(root);
  // Every path is absolute from here on; the directory it was started in
  // (a mount, a user's home) is not kept busy for the daemon's life.
  [[maybe_unused]] const int moved = ::chdir("/");
  raiseDescriptorLimit();
  forbidCoreDumps();
  platform::adoptOrphans();
  keepLargeBuffersOffTheHeap();

  // Both sockets live below the root and a socket address holds only so many
  // bytes: refuse a root that leaves no room instead of failing every start.
  const std::string controlSocket = platform::joinPath(
      platform::joinPath(platform::hostPath(KernelProcessManager::kDataDirectory),
                         KernelProcessManager::kWorkDirectoryName),
      "control.sock");
  for (const std::string& path : {platform::hostPath(kHelperSocketPath), controlSocket}) {
    if (path.size() > KernelProcessManager::kMaxSocketPathBytes) {
      platform::systemLog("[Helper] Root too long: " + root + " (the socket path " + path + " is " +
                          std::to_string(path.size()) + " bytes, at most " +
                          std::to_string(KernelProcessManager::kMaxSocketPathBytes) + " fit)");
      return 1;
    }
  }

  if (!serveThisRootAlone(platform::hostPath(kInstanceLockPath))) {
    platform::systemLog("[Helper] Another zelvo-helper serves this root (it holds " +
                        platform::hostPath(kInstanceLockPath) + ")");
    return 1;
  }

  // The kernel's directories must be ours alone before any kernel is looked
  // for, adopted or launched; what cannot be repaired stops the daemon here.
  try {
    KernelProcessManager::shared()->secureDirectories();
  } catch (const platform::Error& e) {
    platform::systemLog("[Helper] Unsafe kernel directory: " + e.localizedDescription());
    return 1;
  }

  auto helper = std::make_shared<Helper>(KernelProcessManager::shared(),
                                         host::makeHostBackend(*host::parseHostKind(hostName)));
  // Requests may arrive as soon as we listen; their kernel operations wait
  // until launch reconciliation has settled what an earlier run left.
  auto reconciling = helper->processManager()->holdLifecycle();

  CallerPolicy policy(ownerGroup, std::move(ownerUids), allowAnyCaller);
  if (allowAnyCaller) {
    platform::systemLog(
        "[Helper] Warning: --allow-any-caller: every local user may control the helper, "
        "including running an uploaded program as root");
  }
  IpcService listener(helper, platform::hostPath(kHelperSocketPath), std::move(policy));
  try {
    listener.resume();
  } catch (const platform::Error& e) {
    platform::systemLog(std::string("[Helper] Failed to listen on ") + kHelperMachServiceName +
                        ": " + e.localizedDescription());
    return 1;
  }
  platform::systemLog(std::string("[Helper] Started and listening on ") + kHelperMachServiceName);

  // Watched before launch reconciliation lists the sessions, so that none
  // that changes after that listing goes unseen.
  helper->watchSessions();
  helper->reconcileOrphanKernelOnLaunch();
  reconciling.unlock();

  if (helper->kernelInstalled()) {
    platform::systemLog("[Helper] 内核 version: zelvan-core");
  } else {
    platform::systemLog("[Helper] Warning: 内核 binary not found");
  }

  // The main queue answers every client's lifecycle and host requests: a
  // client that stops reading must not hold it up for the others.
  const platform::RepliesNeverWait mainQueueNeverWaits;
  platform::runMain();
  // The run loop is not meant to return; if it does, leave without tearing
  // anything down (the kernel and the system proxy stay as they are).
  std::exit(0);  // NOLINT(concurrency-mt-unsafe): nothing else exits
}
