// KernelProcessManager: construction, the shared instance, the state
// snapshots and the Kernel log channel.
#include "kernel/kernel_process_manager.h"
#include "platform/log.h"

namespace zelvo {

std::string KernelProcessState::describe() const {
  switch (kind) {
    case Kind::Error:
      return "error(" + reason + ")";
    case Kind::Stopped:
      return "stopped";
    case Kind::Starting:
      return "starting";
    case Kind::Running:
      return "running";
    case Kind::Stopping:
      return "stopping";
  }
  return "stopped";
}

std::shared_ptr<KernelProcessManager> KernelProcessManager::shared() {
  // Never destroyed: work items and timers of the manager may still run while
  // the process exits, so static destruction must not tear it down under them.
  static auto* instance =
      new std::shared_ptr<KernelProcessManager>(std::make_shared<KernelProcessManager>());
  return *instance;
}

KernelProcessManager::KernelProcessManager() = default;

KernelProcessManager::~KernelProcessManager() {
  std::shared_ptr<platform::RepeatingTimer> timer;
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    timer = std::move(adoptLivenessTimer_);
  }
  if (timer) timer->cancel();
}

void KernelProcessManager::log(const std::string& message) {
  platform::systemLog("[Kernel] " + platform::localTimestamp() + ": " + message);
}

KernelProcessState KernelProcessManager::state() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return state_;
}

void KernelProcessManager::setState(KernelProcessState s) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  state_ = std::move(s);
}

std::shared_ptr<platform::Subprocess> KernelProcessManager::process() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return process_;
}

void KernelProcessManager::setProcess(std::shared_ptr<platform::Subprocess> p) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  process_ = std::move(p);
}

std::optional<std::string> KernelProcessManager::lastMode() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return lastMode_;
}

std::map<std::string, std::string> KernelProcessManager::lastSelections() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return lastSelections_;
}

std::string KernelProcessManager::currentConfigYAML() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return currentConfigYAML_;
}

void KernelProcessManager::cancelAdoptLivenessTimer() {
  std::shared_ptr<platform::RepeatingTimer> timer;
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    timer = std::move(adoptLivenessTimer_);
    adoptLivenessTimer_.reset();
  }
  if (timer) timer->cancel();
}

}  // namespace zelvo
