// The client-app watchdog: when the client application vanishes (crash,
// force quit) while a kernel runs, stop the kernel and clear the system proxy
// so the machine is not left routing through a proxy nobody controls.
#include "platform/dispatch.h"
#include "platform/process_probe.h"
#include "service/helper.h"

namespace zelvo {

namespace {

constexpr platform::Seconds kWatchdogFirstFire{4.0};
constexpr platform::Seconds kWatchdogInterval{4.0};

}  // namespace

void Helper::startAppWatchdogIfNeeded() {
  // Connections are accepted concurrently; the lock makes sure only the first
  // one creates the timer.
  std::lock_guard<std::mutex> guard(watchdogLock_);
  if (appWatchdog_) return;
  std::weak_ptr<Helper> weakSelf = weak();
  appWatchdog_ = platform::RepeatingTimer::start(platform::globalQueue(platform::QoS::Utility),
                                                 kWatchdogFirstFire, kWatchdogInterval, [weakSelf] {
                                                   if (auto self = weakSelf.lock()) {
                                                     self->checkAppAlive();
                                                   }
                                                 });
  log("主程序看门狗已启动");
}

void Helper::checkAppAlive() {
  if (!processManager_->state().isRunning()) return;

  // The system-wide search runs only when our own child is not the answer.
  const auto process = processManager_->process();
  const bool trackedAlive = process && process->isRunning();
  if (!trackedAlive && processManager_->currentKernelPid() < 1) return;

  // A killed client that its parent has not reaped yet is gone too: only its
  // zombie entry is left, and it will never switch the proxy off.
  const pid_t pid = takeVanishedClient([this](pid_t probed) { return clientGone(probed); });
  if (pid < 1) return;
  const std::string pidText = std::to_string(pid);
  log("看门狗：主程序(pid " + pidText + ")已消失（崩溃/强杀）→ 停内核 + 清系统代理/TUN");
  try {
    processManager_->stop();
  } catch (const std::exception&) {
    // Nothing to add: the system proxy must be cleared whatever happened.
  }
  configureSystemProxy(false, "", 0, 0);
  log("看门狗：已因主程序(pid " + pidText + ")消失完成兜底拆除，系统恢复直连");
}

bool Helper::clientGone(pid_t pid) {
  std::shared_ptr<const platform::ProcessHandle> process;
  {
    std::lock_guard lock(clientLock_);
    process = clientApp_;
  }
  // By number alone, a client that ended and whose number went to another
  // process would be watched for as long as that one lives.
  if (process && process->pid() == pid) return process->gone();
  return platform::processIsGone(pid);
}

pid_t Helper::takeVanishedClient(const std::function<bool(pid_t)>& isGone) {
  const pid_t pid = clientAppPid_.load();
  if (pid < 1 || !isGone(pid)) return 0;
  // Forget only the client that was probed: one that connected meanwhile
  // is alive and must stay watched.
  pid_t probed = pid;
  return clientAppPid_.compare_exchange_strong(probed, 0) ? pid : 0;
}

}  // namespace zelvo
