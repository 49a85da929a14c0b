// The start-up drive sequence: accept the launched kernel's connection and
// hand it its work directory, its configuration and the go to listen.
//
// The kernel gets its configuration only here (and on reload), never from a
// file. Each step waits for its reply or time-out before the next is sent, so
// the kernel sees the three requests strictly in order; no outcome stops the
// sequence, because a kernel that half-failed a step is still better driven on
// than left waiting.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "control/frame.h"
#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"

namespace zelvo {

namespace {

constexpr double kDriveStepTimeout = 5.0;

}  // namespace

void KernelProcessManager::acceptAndDrive(uint64_t generation) {
  {
    // This work item may start late, after a stop or a later launch: the
    // connection on the listener then is a newer kernel's, for its own drive.
    std::lock_guard<std::mutex> g(fieldsLock_);
    if (generation != 0 && generation != processGeneration_) return;
  }
  // Accept on a private duplicate of the listener so that closeControlSocket()
  // may close the listener meanwhile; its shutdown wakes this accept.
  uint64_t listenerIdentity = 0;
  int fd = acceptControlConnection(&listenerIdentity);
  if (fd < 0) {
    log("accept failed");
    return;
  }
  // Publish the connection only if its listener is still the supervised one
  // (compared by socket, not by number, which a new listener may reuse): if
  // the socket was closed while we accepted, this connection belongs to a
  // kernel nobody supervises any more.
  if (!publishAccepted(listenerIdentity, fd)) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    log("accept failed");
    return;
  }
  log("Kernel connected on control socket");

  startReaderLoop();
  sendActionAwait(
      "initCore",
      control::jsonTextPayload(Json{{"home-dir", homeDir()}, {"version", protocolVersion}}),
      kDriveStepTimeout);
  sendSetupConfig();
  sendActionAwait("startListener", "", kDriveStepTimeout);
  log("驱动序列完成");
}

namespace {
std::string setupConfigPayload(const std::map<std::string, std::string>& selections,
                               const std::string& config) {
  // An empty map must still go out as {}: the kernel expects an object.
  Json selectedMap = Json::object();
  for (const auto& [group, proxy] : selections) selectedMap[group] = proxy;
  const Json payload{{"selected-map", std::move(selectedMap)},
                     {"test-url", KernelProcessManager::kConnectivityCheckURL},
                     {"config", config}};
  return control::jsonTextPayload(payload);
}
}  // namespace

void KernelProcessManager::sendSetupConfig() {
  sendActionAwait("setupConfig", setupConfigPayload(lastSelections(), currentConfigYAML()),
                  kDriveStepTimeout);
}

std::optional<std::string> KernelProcessManager::configTooLarge(const std::string& config) {
  // The frame around the payload: {"id":"<at most 20 digits>","method":"setupConfig","data":"…"}
  constexpr size_t kEnvelope = sizeof(R"({"id":"","method":"setupConfig","data":})") - 1 + 20;
  const size_t body =
      kEnvelope + control::jsonStringSize(setupConfigPayload(lastSelections(), config));
  if (body < control::kMaxBodyBytes) return std::nullopt;
  return "configuration too large: its setupConfig frame would be " + std::to_string(body) +
         " bytes; the kernel reads frames of at most " +
         std::to_string(control::kMaxBodyBytes - 1) + " bytes";
}

}  // namespace zelvo
