// Automatic restart of a kernel that died while the client still wants it,
// and the replay of the client's mode and selections into the new kernel.
//
// The bound of consecutive attempts keeps a kernel that cannot stay up (a bad
// configuration) from being restarted for ever; the counter returns to 0 only
// when a replay finds the kernel of its own launch still running, or when the
// client starts anew. A replay scheduled for a launch that has died since
// must not count a later launch's kernel as a success, or a kernel dying
// right after every launch would be restarted for ever.

#include "kernel/kernel_process_manager.h"

namespace zelvo {

void KernelProcessManager::attemptAutoRestart(const std::string& reason) {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  if (!desiredRunning_) return;
  if (currentConfigYAML().empty()) {
    log("自动重启：无内存配置，放弃");
    desiredRunning_ = false;
    return;
  }
  if (restartAttempts_ >= maxRestartAttempts) {
    log("自动重启：连续 " + std::to_string(maxRestartAttempts) +
        " 次仍失败，放弃（配置可能有问题）");
    desiredRunning_ = false;
    return;
  }
  const int attempt = ++restartAttempts_;
  log("内核意外退出（" + reason + "）→ 自动重启内核 第 " + std::to_string(attempt) + "/" +
      std::to_string(maxRestartAttempts) + " 次");

  std::weak_ptr<KernelProcessManager> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated).after(platform::Seconds(1.0), [weakSelf] {
    if (auto self = weakSelf.lock()) self->restartFromExistingConfig();
  });
}

void KernelProcessManager::restartFromExistingConfig() {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock_);
  if (!desiredRunning_) return;     // the client stopped in the meantime
  if (state().isRunning()) return;  // a kernel was started or adopted meanwhile
  try {
    launchKernel();
  } catch (const platform::Error& e) {
    log("自动重启失败：" + e.localizedDescription());
    attemptAutoRestart("restart failed");
    return;
  }
  log("自动重启：内核已重新拉起，回放运行时状态");
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    generation = processGeneration_;
  }
  std::weak_ptr<KernelProcessManager> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .after(platform::Seconds(1.5), [weakSelf, generation] {
        if (auto self = weakSelf.lock()) self->replayRuntimeState(generation);
      });
}

// Runs the replay's kernel actions without the lifecycle lock: each may wait
// up to its time-out for the kernel, and a stop() must not queue behind that.
// The replay does not wait for the kernel's drive sequence: a kernel not yet
// connected misses the mode (its selections still come with its
// configuration), and the attempt counter is reset all the same.
void KernelProcessManager::replayRuntimeState(uint64_t generation) {
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    if (generation != processGeneration_) return;  // that launch's kernel is gone
  }
  if (!state().isRunning()) return;
  if (const auto mode = lastMode()) setMode(*mode);
  for (const auto& [group, proxy] : lastSelections()) changeProxy(group, proxy);
  closeConnections();
  restartAttempts_ = 0;
  log("自动重启：模式/节点已回放，连接恢复");
}

}  // namespace zelvo
