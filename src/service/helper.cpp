#include "service/helper.h"

#include "host/host_backend.h"
#include "platform/host_paths.h"
#include "platform/ipc_connection.h"
#include "platform/log.h"

namespace zelvo {

Helper::Helper(std::shared_ptr<KernelProcessManager> manager,
               std::shared_ptr<host::HostBackend> host)
    : listenerQueue_(platform::makeSerialQueue("com.zelvo.svc.helper.listener")),
      processManager_(std::move(manager)),
      host_(host ? std::move(host) : host::makeHostBackend(host::HostKind::MacOS)) {}

Helper::~Helper() {
  std::lock_guard lock(watchdogLock_);
  if (appWatchdog_) appWatchdog_->cancel();
}

void Helper::log(const std::string& message) {
  platform::helperLog(message);
}

bool Helper::acceptConnection(pid_t processIdentifier, bool watched,
                              std::shared_ptr<const platform::ProcessHandle> process) {
  // An observer must not be able to make the watchdog tear down on its exit.
  if (watched && processIdentifier >= 1) {
    {
      std::lock_guard lock(clientLock_);
      clientApp_ = std::move(process);
      clientAppPid_.store(processIdentifier);
    }
    startAppWatchdogIfNeeded();
  }
  log("Accepted new connection (client pid=" + std::to_string(processIdentifier) + ")");
  return true;
}

std::optional<bool> Helper::runningWithoutProcessTable() {
  if (!processManager_->state().isRunning()) return false;
  if (auto process = processManager_->process(); process && process->isRunning()) return true;
  return std::nullopt;  // a re-adopted kernel has no handle; it is found by name
}

bool Helper::isKernelRunning() {
  if (const auto known = runningWithoutProcessTable()) return *known;
  return processManager_->currentKernelPid() >= 1;
}

std::optional<bool> Helper::runningTestOrRetry(std::function<void(Helper&)> again,
                                               std::function<void()> gone) {
  if (const auto known = runningWithoutProcessTable()) return known;
  platform::Queue* const queue = platform::runningInPlaceOf();
  if (!queue) return processManager_->currentKernelPid() >= 1;
  queue->async([weakSelf = weak(), again = std::move(again), gone = std::move(gone),
                restricted = platform::RestrictedPeerLines::active()] {
    const platform::RestrictedPeerLines lines(restricted);
    // An observer's queue runs on the lane all observers share, which no
    // reply may hold.
    const platform::RepliesNeverWait neverWait(restricted);
    if (auto self = weakSelf.lock()) {
      again(*self);
    } else {
      gone();
    }
  });
  return std::nullopt;
}

bool Helper::kernelInstalled() {
  bool found = false;
  processManager_->binaryPath(found);
  return found;
}

void Helper::getVersion(const StringReply& completion) {
  log("getVersion called");
  std::string version = kHelperVersion;
  if (kernelInstalled()) version += " (zelvan-core)";
  completion(version);
}

void Helper::getKernelVersion(const OptionalStringReply& completion) {
  if (kernelInstalled()) {
    completion(std::string("zelvan-core"));
  } else {
    completion(std::nullopt);
  }
}

void Helper::getProxyStatus(StatusReply completion) {
  const auto running = runningTestOrRetry([completion](Helper& h) { h.getProxyStatus(completion); },
                                          [completion] { completion(std::nullopt); });
  if (!running) return;
  if (!*running) {
    completion(ProxyStatus::stoppedRecord());
    return;
  }
  // Nothing waits for the kernel's answer: the reply is built where the
  // answer arrives.
  processManager_->trafficCallThen(
      "getTotalTraffic",
      [weakSelf = weak(), completion = std::move(completion)](std::pair<int64_t, int64_t> total) {
        auto self = weakSelf.lock();
        if (!self) {
          completion(std::nullopt);
          return;
        }
        completion(ProxyStatus{true, self->cachedHttpPort(), self->cachedSocksPort(), "rule",
                               total.first, total.second, std::nullopt});
      });
}

void Helper::getTrafficStats(TrafficReply completion) {
  const auto running =
      runningTestOrRetry([completion](Helper& h) { h.getTrafficStats(completion); },
                         [completion] { completion(0, 0, 0, 0); });
  if (!running) return;
  if (!*running) {
    completion(0, 0, 0, 0);
    return;
  }
  // The two calls one after the other, as ever, with nothing waiting between
  // them: the second is sent where the first one's answer arrives, under the
  // same peer's log budget as the first.
  processManager_->trafficCallThen(
      "getTraffic",
      [weakSelf = weak(), completion = std::move(completion)](std::pair<int64_t, int64_t> rate) {
        auto self = weakSelf.lock();
        if (!self) {
          completion(rate.first, rate.second, 0, 0);
          return;
        }
        self->processManager_->trafficCallThen(
            "getTotalTraffic", [rate, completion](std::pair<int64_t, int64_t> total) {
              completion(rate.first, rate.second, total.first, total.second);
            });
      });
}

}  // namespace zelvo
