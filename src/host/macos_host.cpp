// The macOS back end: the system proxy of every enabled network service
// through networksetup, the DNS caches through dscacheutil and a hang-up to
// mDNSResponder, removal through launchctl and the helper's own two files.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "host/host_backend.h"
#include "host/networksetup_output.h"
#include "platform/error.h"
#include "platform/host_paths.h"
#include "platform/subprocess.h"
#include "service/helper.h"

namespace zelvo::host {

namespace {

// networksetup answers in well under a second. The bound only matters when
// the tool hangs (a wedged configuration daemon behind it): without one, a
// hung run would hold the helper's proxy lock for ever and every later set,
// clear, watchdog teardown and removal would queue up behind it. On expiry
// the run is killed and counts as "no output", the same as a tool that
// cannot start.
constexpr double kNetworksetupTimeoutSeconds = 10.0;

// A hung launchctl must not keep the helper from removing its files and
// exiting.
constexpr double kLaunchctlTimeoutSeconds = 10.0;

// Like the file manager's removal: a missing entry is an error, a directory
// goes with its contents, a link is removed itself and not followed.
void removeItem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw platform::Error::fromErrno(errno, path);
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) throw platform::Error::fromErrno(ec.value(), path);
}

class MacHost final : public HostBackend {
 public:
  std::vector<ProxyTarget> listTargets() override {
    const auto output = networksetup({"-listallnetworkservices"});
    if (!output) return {};
    std::vector<ProxyTarget> targets;
    for (std::string& name : parseNetworkServiceList(*output)) targets.push_back({std::move(name)});
    return targets;
  }

  bool switchProxy(const ProxyTarget& target, bool enable, const std::string& host,
                   int64_t httpPort, int64_t socksPort) override {
    // Each run's output and status are ignored: one failing command must not
    // keep the others from running.
    const std::string& s = target.name;
    if (enable) {
      const std::string http = std::to_string(httpPort);
      const std::string socks = std::to_string(socksPort);
      networksetup({"-setwebproxy", s, host, http});
      networksetup({"-setsecurewebproxy", s, host, http});
      networksetup({"-setsocksfirewallproxy", s, host, socks});
      networksetup({"-setwebproxystate", s, "on"});
      networksetup({"-setsecurewebproxystate", s, "on"});
      networksetup({"-setsocksfirewallproxystate", s, "on"});
    } else {
      networksetup({"-setwebproxystate", s, "off"});
      networksetup({"-setsecurewebproxystate", s, "off"});
      networksetup({"-setsocksfirewallproxystate", s, "off"});
    }
    return true;
  }

  ProxyReading readWebProxy(const ProxyTarget& target) override {
    const auto output = networksetup({"-getwebproxy", target.name});
    if (!output) return ProxyReading::Unreadable;
    return showsEnabledLocalWebProxy(*output) ? ProxyReading::Here : ProxyReading::Elsewhere;
  }

  std::string_view targetsLabel() const override { return "on services"; }
  std::string_view noTargetsLine() const override { return "no network services"; }

  FlushResult flushDNS() override {
    const bool flush = runFlushCommand(platform::hostPath("/usr/bin/dscacheutil"), {"-flushcache"});
    const bool hup =
        runFlushCommand(platform::hostPath("/usr/bin/killall"), {"-HUP", "mDNSResponder"});
    return {flush || hup, std::string("flush=") + (flush ? "true" : "false") +
                              " hup=" + (hup ? "true" : "false")};
  }

  bool removeService() override {
    auto launchctl = platform::Subprocess::create();
    launchctl->setExecutable(platform::hostPath("/bin/launchctl"));
    launchctl->setArguments({"remove", kHelperBundleIdentifier});
    try {
      launchctl->launch();
      launchctl->waitUntilExitOrKill(platform::Seconds(kLaunchctlTimeoutSeconds));
    } catch (const platform::Error& e) {
      Helper::log("Failed to remove launchd service: " + e.localizedDescription());
    }

    const std::string identifier = kHelperBundleIdentifier;
    try {
      removeItem(platform::hostPath("/Library/PrivilegedHelperTools/" + identifier));
      removeItem(platform::hostPath("/Library/LaunchDaemons/" + identifier + ".plist"));
    } catch (const platform::Error& e) {
      Helper::log("Failed to remove helper files: " + e.localizedDescription());
      return false;
    }
    Helper::log("Helper files removed");
    return true;
  }

 private:
  // The tool's combined output, or nothing when it could not run, did not
  // finish in time or printed something that is not UTF-8 text.
  static std::optional<std::string> networksetup(const std::vector<std::string>& args) {
    platform::ToolOptions options;
    options.captureOutput = true;  // one pipe for both streams, drained while it runs
    options.timeoutSeconds = kNetworksetupTimeoutSeconds;
    platform::ToolResult result =
        platform::runTool(platform::hostPath("/usr/sbin/networksetup"), args, options);
    if (!result.launched || result.timedOut) return std::nullopt;
    if (!isValidUtf8(result.output)) return std::nullopt;
    return std::move(result.output);
  }
};

}  // namespace

std::shared_ptr<HostBackend> makeMacHost() {
  return std::make_shared<MacHost>();
}

}  // namespace zelvo::host
