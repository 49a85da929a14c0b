// zelvan-core: the reference kernel. Run as `zelvan-core version` it prints
// its name and version; run as `zelvan-core <control socket path>` it
// connects to the daemon's control socket and serves it until "shutdown",
// SIGTERM or SIGINT. See README.md for methods, formats and fault switches.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "control_client.h"
#include "kernel.h"
#include "log.h"
#include "options.h"

using namespace zelvan;

namespace {

// Tunnels need six descriptors each; a daemon's default soft limit of 1024
// would cap the listener well below its connection limit.
void raiseDescriptorLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  rlim_t want = lim.rlim_max == RLIM_INFINITY ? 65536 : std::min<rlim_t>(lim.rlim_max, 65536);
  if (lim.rlim_cur < want) {
    lim.rlim_cur = want;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// Signals are taken by one thread with sigwait(), so no handler has to be
// async-signal-safe. Must run before any other thread exists: threads
// inherit the mask.
void startSignalThread(const Options& options) {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGINT);
  if (options.ignoreSigterm) {
    ::signal(SIGTERM, SIG_IGN);
  } else {
    ::signal(SIGTERM, SIG_DFL);  // an ignored disposition may be inherited
    ::sigaddset(&set, SIGTERM);
  }
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (options.ignoreSigterm) logInfo("fault: ZELVAN_IGNORE_SIGTERM set; SIGTERM is ignored");
  std::thread([set] {
    int sig = 0;
    while (::sigwait(&set, &sig) != 0) {
    }
    logInfo(std::string("received ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT") + "; exiting");
    ::_exit(0);
  }).detach();
}

void scheduleFaultExit(const Options& options) {
  if (!options.exitCode && !options.exitAfterMs) return;
  int code = options.exitCode.value_or(0);
  int afterMs = options.exitAfterMs.value_or(0);
  auto exitNow = [code] {
    logInfo("fault: exiting with code " + std::to_string(code));
    ::_exit(code);
  };
  if (afterMs <= 0) exitNow();
  std::thread([afterMs, exitNow] {
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    exitNow();
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "version") == 0) {
    std::printf("%s %s\n", kKernelName, kKernelVersion);
    std::fflush(stdout);
    return Options::fromEnvironment().versionExit.value_or(0);
  }
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: %s version\n       %s <control socket path>\n", argv[0], argv[0]);
    return 2;
  }

  static const Options options = Options::fromEnvironment();
  setRedactLog(options.redactLog);
  startSignalThread(options);
  raiseDescriptorLimit();
  logInfo(std::string(kKernelName) + " " + kKernelVersion + " starting: pid " +
          std::to_string(::getpid()) + ", control socket " + argv[1] +
          (options.redactLog ? ", log redacted" : ""));
  scheduleFaultExit(options);

  // Lives until the process ends; every exit path is _exit(), so no thread
  // ever sees it destroyed.
  static Kernel kernel(options);
  if (options.noConnect) {
    logInfo("fault: ZELVAN_NO_CONNECT set; never connecting to the control socket");
    parkForever();
  }
  ControlClient client(argv[1], options, [](const nlohmann::json& request, const auto& conn) {
    kernel.handle(request, conn);
  });
  client.run();
}
