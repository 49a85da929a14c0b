// Re-adoption of a kernel that outlived an earlier run of the service: the
// control socket is re-created at the same path, the kernel reconnects by
// itself, and control resumes without the start-up sequence, so the user's
// connections are never cut. The adopted process is no child of ours, so its
// death is noticed by probing its process id every 3 s.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"
#include "platform/process_probe.h"

namespace zelvo {

bool KernelProcessManager::reAdoptRunningKernel() {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  if (state().isRunning()) return false;
  const pid_t survivor = currentKernelPid();
  if (survivor < 1) return false;

  const std::string socketPath = platform::joinPath(homeDir(), "control.sock");
  try {
    setupControlSocket(socketPath);
  } catch (const platform::Error& e) {
    log("re-adopt: 重建控制 socket 失败: " + e.localizedDescription());
    return false;
  }
  kernelPeerPid_.store(survivor);  // only the survivor may reconnect
  setState(KernelProcessState::running());
  desiredRunning_ = true;
  adopting_ = true;
  log("re-adopt: 控制 socket 已重建，等待内核重连…");

  std::weak_ptr<KernelProcessManager> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf] {
    if (auto self = weakSelf.lock()) self->acceptAndResumeControl();
  });
  return true;
}

void KernelProcessManager::acceptAndResumeControl() {
  // The accept blocks without the lifecycle lock, so that a stop() or start()
  // can end the wait by closing the listening socket (its shutdown wakes the
  // accept). It works on a private duplicate: the number in listenFd may be
  // closed, and reused by an unrelated file, while we wait.
  uint64_t listenerIdentity = 0;
  int fd = acceptControlConnection(&listenerIdentity);
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  if (!adopting_) {
    log("re-adopt: 已被自愈接管，放弃");
    // A connection that arrives after a start() took over belongs to nobody.
    if (fd >= 0) ::close(fd);
    return;
  }
  adopting_ = false;
  // A stop() that closed the socket after the kernel had already connected
  // leaves a connection of a kernel it has just killed: that is a failed
  // accept too, not a kernel to resume.
  if (fd >= 0 && !publishAccepted(listenerIdentity, fd)) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    log("re-adopt: accept 失败");
    // The listener goes with the adoption it was made for; the next start
    // opens its own.
    closeControlSocket();
    setState(KernelProcessState::stopped());
    return;
  }
  log("re-adopt: 内核已重连，恢复控制（跳过 init/setup）");
  startReaderLoop();
  startAdoptedLivenessMonitor();
}

void KernelProcessManager::startAdoptedLivenessMonitor() {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  cancelAdoptLivenessTimer();
  adoptedPid_ = 0;
  adoptedPid_ = currentKernelPid();
  if (adoptedPid_ < 1) return;
  // The kernel itself, as it connected where that is the one found; watched
  // by number alone, a kernel that died and whose number went to another
  // process would never be relaunched.
  const int fd = controlFd_.load();
  auto process = platform::ProcessHandle::ofPeer(fd, kernelPeerPid_.load());
  if (process->pid() != adoptedPid_) process = platform::ProcessHandle::ofPid(adoptedPid_);

  std::weak_ptr<KernelProcessManager> weakSelf = weak();
  auto timer = platform::RepeatingTimer::start(platform::globalQueue(platform::QoS::Utility),
                                               platform::Seconds(3.0), platform::Seconds(3.0),
                                               [weakSelf, process] {
                                                 if (auto self = weakSelf.lock()) {
                                                   self->checkAdoptedLiveness(*process);
                                                 }
                                               });
  std::lock_guard<std::mutex> g(fieldsLock_);
  adoptLivenessTimer_ = std::move(timer);
}

void KernelProcessManager::checkAdoptedLiveness(const platform::ProcessHandle& process) {
  const pid_t pid = process.pid();
  if (!desiredRunning_ || adoptedPid_ != pid || !process.gone()) return;

  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  // A stop() or start() may have taken over while we probed.
  if (!desiredRunning_ || adoptedPid_ != pid) return;
  log("re-adopt 看护：内核(pid " + std::to_string(pid) + ")已退出 → 走自动重启");
  cancelAdoptLivenessTimer();
  adoptedPid_ = 0;
  cleanup();
  setState(KernelProcessState::stopped());
  attemptAutoRestart("adopted kernel died");
}

}  // namespace zelvo
