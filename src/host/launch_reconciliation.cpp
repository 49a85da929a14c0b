// Launch reconciliation: settle, once at start-up, what an earlier run that
// ended abnormally left behind: a kernel still serving connections, and a
// system proxy still pointing at this machine.
#include "host/host_backend.h"
#include "service/helper.h"

namespace zelvo {

void Helper::reconcileOrphanKernelOnLaunch() {
  auto& manager = *processManager_;
  if (manager.currentKernelPid() >= 1) {
    // Taking the survivor over keeps the user's connections up; the proxy it
    // serves is still correct, so nothing else is touched.
    if (manager.reAdoptRunningKernel()) {
      log("启动对账：重接管存活内核，连接保持（未断网）");
      return;
    }
    log("启动对账：重接管失败 → 杀内核 + 清系统代理");
    manager.killStaleKernel();
    manager.wipeConfig();
    lookForLeftovers("");
    return;
  }

  // No kernel: a proxy still pointing here would black-hole all traffic.
  // One pointing elsewhere (a corporate proxy) is none of our business.
  lookForLeftovers("启动对账：清理遗留的本机系统代理（上次崩溃残留），恢复直连");
  manager.wipeConfig();
  log("启动对账：无存活内核，残留已清理");
}

void Helper::lookForLeftovers(const std::string& line) {
  // A helper started at a login (by its path unit) may look before the
  // user's settings can be written.
  const uint64_t look = ++leftoverLooks_;
  Leftovers found = Leftovers::Unsettled;
  try {
    std::lock_guard<std::mutex> proxy(systemProxyLock_);
    found = clearLocalLeftoversLocked(line);
  } catch (const std::exception& e) {
    // A tool that could not be started (no thread left to watch it).
    log(std::string("启动对账：失败: ") + e.what());
  }
  // Shared settings are looked at once: what could not be read is no leftover.
  if (found == Leftovers::Unsettled && !host_->targetsShareSettings()) lookAgainLater(look, 0);
}

}  // namespace zelvo
