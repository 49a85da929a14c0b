// The system proxy: the web, secure web and SOCKS proxies of every target
// the host back end lists, switched together, and the test for a local proxy
// that a crashed run left behind.
#include "host/host_backend.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {

namespace {

const char* boolText(bool b) {
  return b ? "true" : "false";
}

}  // namespace

bool Helper::configureSystemProxy(bool enable, const std::string& host, int64_t httpPort,
                                  int64_t socksPort) {
  // The client, the watchdog, launch and session reconciliation and removal
  // all switch the proxy, from different threads. Two runs interleaving their tool runs could
  // leave a target half set and half cleared (say, the web proxy on and the
  // SOCKS proxy off), so each run holds the lock from its listing to its last
  // command and the later one wins as a whole. Holding it across the tool
  // runs is safe: nothing under it takes another lock, and the back ends
  // bound every run.
  std::lock_guard<std::mutex> guard(systemProxyLock_);
  logSwitch(enable, host, httpPort, socksPort);
  const std::vector<host::ProxyTarget> targets = host_->listTargets();
  if (targets.empty()) {
    log(std::string(host_->noTargetsLine()));
    return false;
  }
  return switchTargets(targets, enable, host, httpPort, socksPort);
}

void Helper::logSwitch(bool enable, const std::string& host, int64_t httpPort, int64_t socksPort) {
  log(std::string("configureSystemProxy: enable=") + boolText(enable) +
      ", host=" + platform::forLog(host) + ", http=" + std::to_string(httpPort) +
      ", socks=" + std::to_string(socksPort));
}

bool Helper::switchTargets(const std::vector<host::ProxyTarget>& targets, bool enable,
                           const std::string& host, int64_t httpPort, int64_t socksPort) {
  std::string changed, failed;
  for (const host::ProxyTarget& target : targets) {
    std::string& names =
        host_->switchProxy(target, enable, host, httpPort, socksPort) ? changed : failed;
    if (!names.empty()) names += ", ";
    names += target.name;
  }
  const std::string how = enable ? "enabled " : "disabled ";
  const std::string label(host_->targetsLabel());
  if (!changed.empty()) log("system proxy " + how + label + ": " + changed);
  if (!failed.empty()) log("system proxy could not be " + how + label + ": " + failed);
  return !changed.empty();
}

bool Helper::clearLocalLeftovers(const std::string& line) {
  std::lock_guard<std::mutex> guard(systemProxyLock_);
  std::vector<host::ProxyTarget> targets = host_->listTargets();
  if (targets.empty()) return false;
  if (host_->targetsShareSettings()) {
    // The daemon always sets all targets and all three kinds together, so
    // the first target's web proxy stands for the rest.
    if (!host_->webProxyPointsHere(targets.front())) return false;
  } else {
    // Each user's own: one pointing elsewhere (a company proxy) is kept.
    std::erase_if(targets, [&](const auto& t) { return !host_->webProxyPointsHere(t); });
    if (targets.empty()) return false;
  }
  if (!line.empty()) log(line);
  logSwitch(false, "", 0, 0);
  switchTargets(targets, false, "", 0, 0);
  return true;
}

void Helper::setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort,
                            BoolReply completion) {
  log("setSystemProxy called: host=" + platform::forLog(host) +
      ", httpPort=" + std::to_string(httpPort) + ", socksPort=" + std::to_string(socksPort));
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, host, httpPort, socksPort, completion = std::move(completion)] {
        bool result = false;
        if (auto self = weakSelf.lock()) {
          result = self->configureSystemProxy(true, host, httpPort, socksPort);
        }
        platform::mainQueue().async([weakSelf, result, completion] {
          if (weakSelf.lock()) log(std::string("setSystemProxy result: ") + boolText(result));
          completion(result);
        });
      });
}

void Helper::clearSystemProxy(BoolReply completion) {
  log("clearSystemProxy called");
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, completion = std::move(completion)] {
        bool result = false;
        if (auto self = weakSelf.lock()) result = self->configureSystemProxy(false, "", 0, 0);
        platform::mainQueue().async([weakSelf, result, completion] {
          if (weakSelf.lock()) log(std::string("clearSystemProxy result: ") + boolText(result));
          completion(result);
        });
      });
}

}  // namespace zelvo
