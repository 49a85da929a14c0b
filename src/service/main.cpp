// zelvo-helper: the privileged helper daemon's entry routine.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <memory>
#include <string>

#include "kernel/kernel_process_manager.h"
#include "platform/dispatch.h"
#include "platform/host_paths.h"
#include "platform/log.h"
#include "service/helper.h"
#include "service/helper_protocol.h"
#include "service/ipc_service.h"

using namespace zelvo;

int main(int argc, char** argv) {
  // A client that hangs up mid-reply must cost an EPIPE, not the process.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"zelvo-helper: the privileged helper of the zelvo proxy client"};
  std::string root = "/";
  app.add_option("--root", root, "Filesystem root under which every host path is resolved")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  platform::setRoot(root);

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

  auto helper = std::make_shared<Helper>();
  // Requests may arrive as soon as we listen; their kernel operations wait
  // until launch reconciliation has settled what an earlier run left.
  auto reconciling = helper->processManager()->holdLifecycle();

  IpcService listener(helper, platform::hostPath(kHelperSocketPath));
  try {
    listener.resume();
  } catch (const platform::Error& e) {
    platform::systemLog(std::string("[Helper] Failed to listen on ") + kHelperMachServiceName +
                        ": " + e.localizedDescription());
    return 1;
  }
  platform::systemLog(std::string("[Helper] Started and listening on ") + kHelperMachServiceName);

  helper->reconcileOrphanKernelOnLaunch();
  reconciling.unlock();

  if (platform::fileExists(helper->processManager()->binaryPath())) {
    platform::systemLog("[Helper] 内核 version: zelvan-core");
  } else {
    platform::systemLog("[Helper] Warning: 内核 binary not found");
  }

  platform::runMain();
  // The run loop is not meant to return; if it does, leave without tearing
  // anything down (the kernel and the system proxy stay as they are).
  std::exit(0);
}
