// The DNS cache flush: empty the directory-service cache and have the DNS
// responder drop its own cache with a hang-up signal.
#include <signal.h>

#include "platform/dispatch.h"
#include "platform/host_paths.h"
#include "platform/subprocess.h"
#include "service/helper.h"

namespace zelvo {

namespace {

// Both commands return at once on a healthy system. The bound keeps a wedged
// tool from holding a worker thread and the client's reply for ever; a
// command still running then is killed and counts as failed, which is what
// the reply already means for "did not work".
constexpr double kFlushCommandTimeoutSeconds = 10.0;

}  // namespace

void Helper::flushDNS(BoolReply completion) {
  log("flushDNS called");
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, completion] {
    // One command, streams left as the daemon's own; true on exit status 0.
    auto run = [&weakSelf](const std::string& path, const std::vector<std::string>& args) {
      auto process = platform::Subprocess::create();
      process->setExecutable(path);
      process->setArguments(args);
      try {
        process->launch();
      } catch (const platform::Error& e) {
        if (weakSelf.lock()) log("flushDNS 子命令失败 " + path + ": " + e.localizedDescription());
        return false;
      }
      if (!process->waitUntilExit(platform::Seconds(kFlushCommandTimeoutSeconds))) {
        process->sendSignal(SIGKILL);
        process->waitUntilExit();
        return false;
      }
      return !process->terminatedBySignal() && process->terminationStatus() == 0;
    };

    const bool flush = run(platform::hostPath("/usr/bin/dscacheutil"), {"-flushcache"});
    const bool hup = run(platform::hostPath("/usr/bin/killall"), {"-HUP", "mDNSResponder"});

    platform::mainQueue().async([weakSelf, flush, hup, completion] {
      if (weakSelf.lock()) {
        log(std::string("flushDNS result: flush=") + (flush ? "true" : "false") +
            " hup=" + (hup ? "true" : "false"));
      }
      completion(flush || hup);
    });
  });
}

}  // namespace zelvo
