#include "service/helper_protocol.h"

#include "platform/keyed_archive.h"
#include "service/proxy_status.h"

namespace zelvo {

using platform::IpcMethod;
using platform::IpcSlot;
using platform::IpcType;

namespace {
const IpcSlot kString{IpcType::String, false, {}};
const IpcSlot kOptString{IpcType::String, true, {}};
const IpcSlot kInt{IpcType::Int, false, {}};
const IpcSlot kBool{IpcType::Bool, false, {}};
const IpcSlot kData{IpcType::Data, false, {}};
const IpcSlot kOptObject{IpcType::Object, true, {}};
}  // namespace

const std::vector<IpcMethod>& HelperProtocol::methods() {
  static const std::vector<IpcMethod> table = {
      {kGetVersion, getVersion, {}, {kString}, /*immediate=*/true},
      {kUninstallHelper, uninstallHelper, {}, {kBool}},
      {kSetSystemProxy, setSystemProxy, {kString, kInt, kInt}, {kBool}},
      {kClearSystemProxy, clearSystemProxy, {}, {kBool}},
      {kFlushDNS, flushDNS, {}, {kBool}},
      {kStartProxy, startProxy, {kString}, {kBool, kOptString}},
      {kStopProxy, stopProxy, {}, {kBool}},
      {kReloadProxy, reloadProxy, {kString}, {kBool, kOptString}},
      {kGetProxyStatus, getProxyStatus, {}, {kOptObject}, /*immediate=*/true},
      {kSelectOutbound, selectOutbound, {kString, kString}, {kBool}},
      {kSetRouteMode, setRouteMode, {kString}, {kBool}},
      {kGetTrafficStats, getTrafficStats, {}, {kInt, kInt, kInt, kInt}, /*immediate=*/true},
      {kUpdateTun, updateTun, {kBool}, {kBool}},
      {kKernelQuery, kernelQuery, {kString, kString}, {kOptString}},
      {kInstallKernel, installKernel, {kData}, {kBool, kOptString}},
      {kGetKernelVersion, getKernelVersion, {}, {kOptString}, /*immediate=*/true},
  };
  return table;
}

const std::vector<HelperProtocol::ClassAllowance>& HelperProtocol::classAllowances() {
  static const std::vector<ClassAllowance> allowances = {
      {getProxyStatus, 0, true, {ProxyStatus::kClassName, platform::kStringClass}},
      {installKernel, 0, false, {platform::kDataClass}},
  };
  return allowances;
}

std::shared_ptr<platform::IpcInterface> HelperProtocol::makeInterface() {
  return std::make_shared<platform::IpcInterface>(kName, methods());
}

std::shared_ptr<const platform::IpcInterface> HelperProtocol::interface() {
  static const std::shared_ptr<const platform::IpcInterface> shared = [] {
    auto i = makeInterface();
    for (const auto& a : classAllowances()) {
      i->setClasses(a.classes, a.selector, a.index, a.ofReply);
    }
    return i;
  }();
  return shared;
}

}  // namespace zelvo
