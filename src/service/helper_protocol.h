// HelperProtocol: the helper's IPC interface as data. The 16 operations, in
// slot order, with their selectors and the wire types of their request and
// reply arguments, and the two class allowances. The listener checks every
// request against it and the client library every reply, so both ends read
// the protocol from this one table.
//
// Immutable after first use; thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ipc_interface.h"

namespace zelvo {

// Where the helper listens, under the root (named after the Mach service).
inline constexpr const char* kHelperSocketPath = "/var/run/com.zelvo.svc.helper.sock";

struct HelperProtocol {
  static constexpr const char* kName = "HelperProtocol";

  // Slot numbers (1-based, protocol order).
  enum Slot : int {
    kGetVersion = 1,
    kUninstallHelper,
    kSetSystemProxy,
    kClearSystemProxy,
    kFlushDNS,
    kStartProxy,
    kStopProxy,
    kReloadProxy,
    kGetProxyStatus,
    kSelectOutbound,
    kSetRouteMode,
    kGetTrafficStats,
    kUpdateTun,
    kKernelQuery,
    kInstallKernel,
    kGetKernelVersion,
  };

  static constexpr const char* getVersion = "getVersionWithCompletion:";
  static constexpr const char* uninstallHelper = "uninstallHelperWithCompletion:";
  static constexpr const char* setSystemProxy =
      "setSystemProxyWithHost:httpPort:socksPort:completion:";
  static constexpr const char* clearSystemProxy = "clearSystemProxyWithCompletion:";
  static constexpr const char* flushDNS = "flushDNSWithCompletion:";
  static constexpr const char* startProxy = "startProxyWithConfig:completion:";
  static constexpr const char* stopProxy = "stopProxyWithCompletion:";
  static constexpr const char* reloadProxy = "reloadProxyWithConfig:completion:";
  static constexpr const char* getProxyStatus = "getProxyStatusWithCompletion:";
  static constexpr const char* selectOutbound =
      "selectOutboundWithGroupTag:outboundTag:completion:";
  static constexpr const char* setRouteMode = "setRouteModeWithMode:completion:";
  static constexpr const char* getTrafficStats = "getTrafficStatsWithCompletion:";
  static constexpr const char* updateTun = "updateTunWithEnable:completion:";
  static constexpr const char* kernelQuery = "kernelQueryWithMethod:data:completion:";
  static constexpr const char* installKernel = "installKernelWithBinaryData:completion:";
  static constexpr const char* getKernelVersion = "getKernelVersionWithCompletion:";

  // The operations, in slot order. Object and data positions admit no class
  // here; classAllowances() says which ones do.
  static const std::vector<platform::IpcMethod>& methods();

  // One class allowance: admit `classes` at argument `index` of the request
  // (ofReply false) or of the reply (ofReply true) of `selector`.
  struct ClassAllowance {
    const char* selector;
    size_t index;
    bool ofReply;
    std::set<std::string> classes;
  };
  // ProxyStatus and NSString for the reply of getProxyStatusWithCompletion:,
  // NSData for the request of installKernelWithBinaryData:completion:.
  static const std::vector<ClassAllowance>& classAllowances();

  // The bare interface built from methods(), without class allowances.
  static std::shared_ptr<platform::IpcInterface> makeInterface();
  // The interface with both class allowances applied, shared.
  static std::shared_ptr<const platform::IpcInterface> interface();
};

}  // namespace zelvo
