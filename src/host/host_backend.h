// HostBackend: what the helper does to the host it runs on, behind one seam.
// The request handlers, the leftover test, the watchdog and launch
// reconciliation are written once against it; each host has one back end:
//
//   macos  networksetup (every enabled network service), dscacheutil and a
//          hang-up to mDNSResponder, launchctl and the helper's own files;
//   linux  gsettings in the session of every user with an active graphical
//          session (found through loginctl), resolvectl or nscd, systemctl.
//
// Every tool is resolved under the root (platform::hostPath). Log lines go to
// the Helper log. Thread-safety: a back end keeps no state between calls, so
// calls may come from any thread; the caller serialises proxy changes when it
// needs them whole.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::host {

enum class HostKind { MacOS, Linux };

// "macos" or "linux"; nothing for any other text.
std::optional<HostKind> parseHostKind(std::string_view name);

// One place a system proxy is set in: an enabled network service (macOS), or
// the desktop settings of a user with an active graphical session (Linux).
struct ProxyTarget {
  std::string name;  // as log lines name it
  uid_t owner = 0;   // whose settings they are, where settings belong to a user
};

enum class ProxyReading { Here, Elsewhere, Unreadable };

class HostBackend {
 public:
  virtual ~HostBackend() = default;

  // The targets, in the host's order, read afresh on every call; empty when
  // there are none or they cannot be listed.
  virtual std::vector<ProxyTarget> listTargets() = 0;
  // Points the web, secure web and SOCKS proxies of `target` at `host` (the
  // first two at `httpPort`, SOCKS at `socksPort`) and switches them on; or
  // switches them off, their host and ports left as they are. True when the
  // target took the change; a host that cannot tell says true.
  virtual bool switchProxy(const ProxyTarget& target, bool enable, const std::string& host,
                           int64_t httpPort, int64_t socksPort) = 0;
  // Where the web proxy of `target` points: Here when it is switched on and
  // names this machine (see namesThisMachine), Elsewhere when it is off or
  // names another, Unreadable when it cannot be read (a tool that fails, a
  // user whose settings cannot be reached yet).
  virtual ProxyReading readWebProxy(const ProxyTarget& target) = 0;
  // How the closing log lines of a change name the targets ("on services",
  // "for users"), and the line logged when there is no target.
  virtual std::string_view targetsLabel() const = 0;
  virtual std::string_view noTargetsLine() const = 0;

  struct FlushResult {
    bool ok;              // at least one cache was flushed
    std::string summary;  // what ran and how, for "flushDNS result: <summary>"
  };
  // Empties the DNS caches. A command that cannot be started is logged as
  // "flushDNS 子命令失败 <path>: <error>".
  virtual FlushResult flushDNS() = 0;

  // Takes the helper out of the host's service manager (and removes what the
  // helper owns on disk, where the helper installed it) and logs the outcome.
  // True when all of it was done. The process is still to end afterwards.
  virtual bool removeService() = 0;
  // Runs just before the process ends after a removal, the reply long sent:
  // the last step that would otherwise end the process early.
  virtual void finishRemoval() {}

  // Where uploads are staged, in a private directory of the daemon's.
  virtual std::string_view temporaryParent() const { return "/private/var/tmp"; }

  // True where the targets' settings are set and cleared together and one
  // target's stands for all (network services); false where each target's
  // are its own (a user's), which one may have set to something else.
  virtual bool targetsShareSettings() const { return true; }
  // The directory where the host's login manager keeps a file per login
  // session and rewrites it whenever a session starts, ends or changes state;
  // empty where proxy settings are the machine's, not a session user's.
  virtual std::string_view sessionDirectory() const { return {}; }
};

std::shared_ptr<HostBackend> makeHostBackend(HostKind kind);
std::shared_ptr<HostBackend> makeMacHost();    // macos_host.cpp
std::shared_ptr<HostBackend> makeLinuxHost();  // linux_host.cpp

// True when `server` names this machine: it holds "127.0.0.1", or
// "localhost" in any case. The leftover test's idea of a local proxy.
bool namesThisMachine(std::string_view server);

// Runs one command of a DNS flush with the daemon's own streams: true when
// it exits 0 in time. A launch failure is logged as above.
bool runFlushCommand(const std::string& path, const std::vector<std::string>& args);

}  // namespace zelvo::host
