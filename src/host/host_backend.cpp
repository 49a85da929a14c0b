#include "host/host_backend.h"

#include <signal.h>

#include <algorithm>

#include "platform/subprocess.h"
#include "service/helper.h"

namespace zelvo::host {

namespace {

// Both flush commands return at once on a healthy system. The bound keeps a
// wedged tool from holding a worker thread and the client's reply for ever;
// a command still running then is killed and counts as failed, which is what
// the reply already means for "did not work".
constexpr double kFlushCommandTimeoutSeconds = 10.0;

}  // namespace

std::optional<HostKind> parseHostKind(std::string_view name) {
  if (name == "macos") return HostKind::MacOS;
  if (name == "linux") return HostKind::Linux;
  return std::nullopt;
}

std::shared_ptr<HostBackend> makeHostBackend(HostKind kind) {
  return kind == HostKind::Linux ? makeLinuxHost() : makeMacHost();
}

bool namesThisMachine(std::string_view server) {
  if (server.find("127.0.0.1") != std::string_view::npos) return true;
  std::string lower(server);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return lower.find("localhost") != std::string::npos;
}

bool runFlushCommand(const std::string& path, const std::vector<std::string>& args) {
  auto process = platform::Subprocess::create();
  process->setExecutable(path);
  process->setArguments(args);
  try {
    process->launch();
  } catch (const platform::Error& e) {
    Helper::log("flushDNS 子命令失败 " + path + ": " + e.localizedDescription());
    return false;
  }
  if (!process->waitUntilExitOrKill(platform::Seconds(kFlushCommandTimeoutSeconds))) return false;
  return !process->terminatedBySignal() && process->terminationStatus() == 0;
}

}  // namespace zelvo::host
