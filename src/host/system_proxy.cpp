// The system proxy: the web, secure web and SOCKS proxies of every enabled
// network service, switched together through networksetup, and the test for
// a local proxy that a crashed run left behind.
#include "host/networksetup_output.h"
#include "platform/dispatch.h"
#include "platform/host_paths.h"
#include "platform/subprocess.h"
#include "service/helper.h"
#include "platform/log.h"

namespace zelvo {

namespace {

// networksetup answers in well under a second. The bound only matters when
// the tool hangs (a wedged configuration daemon behind it): without one, a
// hung run would hold systemProxyLock_ for ever and every later set, clear,
// watchdog teardown and removal would queue up behind it. On expiry the run
// is killed and counts as "no output", the same as a tool that cannot start.
constexpr double kNetworksetupTimeoutSeconds = 10.0;

const char* boolText(bool b) {
  return b ? "true" : "false";
}

}  // namespace

std::optional<std::string> Helper::runNetworksetup(const std::vector<std::string>& args) {
  platform::ToolOptions options;
  options.captureOutput = true;  // one pipe for both streams, drained while it runs
  options.timeoutSeconds = kNetworksetupTimeoutSeconds;
  platform::ToolResult result =
      platform::runTool(platform::hostPath("/usr/sbin/networksetup"), args, options);
  if (!result.launched || result.timedOut) return std::nullopt;
  if (!host::isValidUtf8(result.output)) return std::nullopt;
  return std::move(result.output);
}

std::vector<std::string> Helper::listNetworkServices() {
  const auto output = runNetworksetup({"-listallnetworkservices"});
  if (!output) return {};
  return host::parseNetworkServiceList(*output);
}

bool Helper::configureSystemProxy(bool enable, const std::string& host, int64_t httpPort,
                                  int64_t socksPort) {
  // The client, the watchdog, launch reconciliation and removal all switch the
  // proxy, from different threads. Two runs interleaving their networksetup
  // commands could leave a service half set and half cleared (say, the web
  // proxy on and the SOCKS proxy off), so each run holds the lock from its
  // listing to its last command and the later one wins as a whole. Holding it
  // across the tool runs is safe: nothing under it takes another lock, and
  // every run is bounded by kNetworksetupTimeoutSeconds.
  std::lock_guard<std::mutex> guard(systemProxyLock_);

  log(std::string("configureSystemProxy: enable=") + boolText(enable) + ", host=" + platform::forLog(host) +
      ", http=" + std::to_string(httpPort) + ", socks=" + std::to_string(socksPort));

  const std::vector<std::string> services = listNetworkServices();
  if (services.empty()) {
    log("no network services");
    return false;
  }

  const std::string http = std::to_string(httpPort);
  const std::string socks = std::to_string(socksPort);
  for (const std::string& service : services) {
    // Each run's output and status are ignored: one failing command must not
    // keep the others from running.
    if (enable) {
      runNetworksetup({"-setwebproxy", service, host, http});
      runNetworksetup({"-setsecurewebproxy", service, host, http});
      runNetworksetup({"-setsocksfirewallproxy", service, host, socks});
      runNetworksetup({"-setwebproxystate", service, "on"});
      runNetworksetup({"-setsecurewebproxystate", service, "on"});
      runNetworksetup({"-setsocksfirewallproxystate", service, "on"});
    } else {
      runNetworksetup({"-setwebproxystate", service, "off"});
      runNetworksetup({"-setsecurewebproxystate", service, "off"});
      runNetworksetup({"-setsocksfirewallproxystate", service, "off"});
    }
  }

  std::string names;
  for (const std::string& service : services) {
    if (!names.empty()) names += ", ";
    names += service;
  }
  log(std::string("system proxy ") + (enable ? "enabled" : "disabled") + " on services: " + names);
  return true;
}

bool Helper::isLocalSystemProxyLeftover() {
  const std::vector<std::string> services = listNetworkServices();
  if (services.empty()) return false;
  // Only the first service's web proxy is read: the daemon always sets all
  // services and all three kinds together, so that one stands for the rest.
  const auto output = runNetworksetup({"-getwebproxy", services.front()});
  return output && host::showsEnabledLocalWebProxy(*output);
}

void Helper::setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort,
                            BoolReply completion) {
  log("setSystemProxy called: host=" + platform::forLog(host) + ", httpPort=" + std::to_string(httpPort) +
      ", socksPort=" + std::to_string(socksPort));
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, host, httpPort, socksPort, completion] {
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
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, completion] {
    bool result = false;
    if (auto self = weakSelf.lock()) result = self->configureSystemProxy(false, "", 0, 0);
    platform::mainQueue().async([weakSelf, result, completion] {
      if (weakSelf.lock()) log(std::string("clearSystemProxy result: ") + boolText(result));
      completion(result);
    });
  });
}

}  // namespace zelvo
