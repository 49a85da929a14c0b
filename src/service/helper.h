// Helper: the service object. It is the IPC listener's delegate and the
// exported object of every client connection; its handlers implement the 16
// operations of HelperProtocol. Subsystems 1 (service front) and 4 (host
// integration) are its members; the kernel work goes through processManager.
//
// Handlers take their arguments and a reply callback, return at once, and call
// the reply exactly once from whatever queue the operation replies on. Nothing
// escapes a handler. Thread-safety: handlers run concurrently on connection
// queues; the few mutable fields are atomics or guarded as noted.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel/kernel_process_manager.h"
#include "platform/dispatch.h"
#include "platform/process_probe.h"
#include "service/proxy_status.h"

namespace zelvo {

namespace host {
class HostBackend;
struct ProxyTarget;
}  // namespace host

inline constexpr const char* kHelperBundleIdentifier = "com.zelvo.svc.helper";
inline constexpr const char* kHelperMachServiceName = "com.zelvo.svc.helper";
inline constexpr const char* kHelperVersion = "1.0.5";

using BoolReply = std::function<void(bool)>;
using BoolErrorReply = std::function<void(bool, std::optional<std::string>)>;
using StringReply = std::function<void(std::string)>;
using OptionalStringReply = std::function<void(std::optional<std::string>)>;
using StatusReply = std::function<void(std::optional<ProxyStatus>)>;
using TrafficReply = std::function<void(int64_t, int64_t, int64_t, int64_t)>;

class Helper : public std::enable_shared_from_this<Helper> {
 public:
  // `host` does what the helper does to the host; none means macOS's.
  explicit Helper(std::shared_ptr<KernelProcessManager> manager = KernelProcessManager::shared(),
                  std::shared_ptr<host::HostBackend> host = nullptr);
  ~Helper();

  // ---- HelperProtocol, in slot order ----
  void getVersion(const StringReply& completion);     // 1
  void uninstallHelper(const BoolReply& completion);  // 2
  void setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort,
                      BoolReply completion);                               // 3
  void clearSystemProxy(BoolReply completion);                             // 4
  void flushDNS(BoolReply completion);                                     // 5
  void startProxy(const std::string& config, BoolErrorReply completion);   // 6
  void stopProxy(BoolReply completion);                                    // 7
  void reloadProxy(const std::string& config, BoolErrorReply completion);  // 8
  void getProxyStatus(StatusReply completion);                             // 9
  void selectOutbound(const std::string& groupTag, const std::string& outboundTag,
                      BoolReply completion);                         // 10
  void setRouteMode(const std::string& mode, BoolReply completion);  // 11
  void getTrafficStats(TrafficReply completion);                     // 12
  void updateTun(bool enable, BoolReply completion);                 // 13
  void kernelQuery(const std::string& method, const std::string& data,
                   const OptionalStringReply& completion);                         // 14
  void installKernel(std::vector<uint8_t> binaryData, BoolErrorReply completion);  // 15
  void getKernelVersion(const OptionalStringReply& completion);                    // 16

  // ---- Connection acceptance (called by the listener glue) ----
  // Logs the acceptance line; for a client that may be watched (an owner),
  // records its process id (and `process`, the process itself, where given)
  // and starts the watchdog. Returns true (every connection is accepted).
  bool acceptConnection(pid_t processIdentifier, bool watched = true,
                        std::shared_ptr<const platform::ProcessHandle> process = nullptr);

  // ---- Host integration ----
  void reconcileOrphanKernelOnLaunch();
  void startAppWatchdogIfNeeded();
  void checkAppAlive();
  // The watched client's pid if `isGone` says it has vanished, and then no
  // client is watched; 0 when it is alive, or another client connected while
  // it was probed (that one stays watched).
  pid_t takeVanishedClient(const std::function<bool(pid_t)>& isGone);
  // Whether the client recorded as `pid` has ended: by the process recorded
  // with it where that is still the one watched, else by its number.
  bool clientGone(pid_t pid);
  bool configureSystemProxy(bool enable, const std::string& host, int64_t httpPort,
                            int64_t socksPort);
  bool configureSystemProxyLocked(bool enable, const std::string& host, int64_t httpPort,
                                  int64_t socksPort);  // under systemProxyLock_
  // Clears the proxy of the targets left pointing here with no kernel to
  // serve it (a crashed run, a user who logged out while a kernel ran),
  // after logging `line` (unless empty); where settings are each user's
  // own, looks again later when a proxy could not be read or cleared.
  void lookForLeftovers(const std::string& line);
  // Where the host's proxy settings belong to login sessions: from now on,
  // each change of the sessions is followed by reconcileSessions, on a
  // thread of its own. Logs why not where the sessions cannot be watched.
  void watchSessions();
  // Clears the proxy of every target that still points here while no kernel
  // runs or is meant to: a user who logged out with a kernel running kept it.
  void reconcileSessions();

  // ---- Port parsing and the running test ----
  void parsePortsFromConfig(const std::string& config);
  bool isKernelRunning();
  // Whether a kernel executable is where binaryPath looks (which logs it).
  bool kernelInstalled();

  // ---- Accessors ----
  const std::shared_ptr<KernelProcessManager>& processManager() const { return processManager_; }
  int64_t cachedHttpPort() const { return cachedHttpPort_.load(); }
  int64_t cachedSocksPort() const { return cachedSocksPort_.load(); }
  pid_t clientAppPid() const { return clientAppPid_.load(); }

  // Writes "[Helper] <timestamp>: <message>" to the system log.
  static void log(const std::string& message);

 private:
  std::weak_ptr<Helper> weak() { return weak_from_this(); }
  // The running test. Where it would search the process table (an adopted
  // kernel has no handle) on a thread that answers in place of the request's
  // queue and must not wait, it submits `again` to that queue instead and
  // returns nullopt; `gone` answers there if the Helper is gone by then.
  std::optional<bool> runningTestOrRetry(std::function<void(Helper&)> again,
                                         std::function<void()> gone);
  // The running test where it needs no process table; nullopt where it does.
  std::optional<bool> runningWithoutProcessTable();
  void logSwitch(bool enable, const std::string& host, int64_t httpPort, int64_t socksPort);
  // Drops the targets whose web proxy does not point here; returns their
  // names, comma-separated, and sets `unread` when a proxy could not be
  // read. Under systemProxyLock_.
  std::string keepPointingHere(std::vector<host::ProxyTarget>& targets, bool* unread = nullptr);
  // What a look for leftovers found: no proxy pointing here; some, all of
  // them cleared; or a proxy that could not be read or cleared.
  enum class Leftovers { None, Cleared, Unsettled };
  // Look number `look` at the sessions; `retry` counts the looks again
  // after it left a proxy unsettled.
  void lookAtSessions(uint64_t look, size_t retry);
  // After look number `look` left a proxy unsettled: looks again later,
  // unless a newer look has taken over by then.
  void lookAgainLater(uint64_t look, size_t retry);
  // Look `look` again `seconds` from now, as its retry number `retry`.
  void lookAt(uint64_t look, size_t retry, int seconds);
  // Under systemProxyLock_.
  Leftovers clearLocalLeftoversLocked(const std::string& line);
  std::string proxyUsersPath() const;
  void loadProxyUsers();  // once, before the first use of proxyUsers_
  void saveProxyUsers();
  // Switches `targets` and logs the closing lines; under systemProxyLock_.
  // True when a target took the change; `allTook` says whether all did.
  bool switchTargets(const std::vector<host::ProxyTarget>& targets, bool enable,
                     const std::string& host, int64_t httpPort, int64_t socksPort,
                     bool* allTook = nullptr);

  std::shared_ptr<platform::Queue> listenerQueue_;
  std::shared_ptr<KernelProcessManager> processManager_;
  std::shared_ptr<host::HostBackend> host_;  // shared with flush work items
  std::atomic<int64_t> cachedHttpPort_{7890};
  std::atomic<int64_t> cachedSocksPort_{7891};
  std::atomic<pid_t> clientAppPid_{0};
  // Guards clientApp_; accepting sets it together with clientAppPid_, while the
  // watchdog clears clientAppPid_ alone.
  std::mutex clientLock_;
  // The process of the owner that connected last, kept (one descriptor)
  // until another owner connects, whether or not it is still watched.
  std::shared_ptr<const platform::ProcessHandle> clientApp_;
  std::mutex watchdogLock_;  // guards appWatchdog_ creation
  std::shared_ptr<platform::RepeatingTimer> appWatchdog_;
  // Serialises whole system-proxy changes, so that a set and a clear never
  // interleave their tool runs into a mixed state. Taken after the kernel's
  // lifecycle lock where both are held (reconciliation), never before.
  std::mutex systemProxyLock_;
  // Where each target is a user's own settings: the users whose proxy this
  // helper switched on and has not switched off since, kept on disk for
  // after a crash. Only theirs can be its leftovers. Under systemProxyLock_.
  std::set<uid_t> proxyUsers_;
  bool proxyUsersLoaded_ = false;
  // Numbers the looks for leftovers that can be retried (launch and
  // session reconciliation): a retry is for the latest look only.
  std::atomic<uint64_t> leftoverLooks_{0};
};

}  // namespace zelvo
