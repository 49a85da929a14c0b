#include "service/ipc_service.h"

#include <atomic>
#include <chrono>

#include "platform/log.h"
#include "service/helper_protocol.h"

namespace zelvo {

using platform::IpcValue;

namespace {

IpcValue optionalString(const std::optional<std::string>& s) {
  return s ? IpcValue(*s) : IpcValue(nullptr);
}

template <class... T>
IpcValue replyArgs(T&&... values) {
  IpcValue a = IpcValue::array();
  (a.push_back(IpcValue(std::forward<T>(values))), ...);
  return a;
}

BoolReply boolReply(platform::IpcReply reply) {
  return [reply = std::move(reply)](bool ok) { reply(replyArgs(ok)); };
}

BoolErrorReply boolErrorReply(platform::IpcReply reply) {
  return [reply = std::move(reply)](bool ok, const std::optional<std::string>& message) {
    reply(replyArgs(ok, optionalString(message)));
  };
}

OptionalStringReply optionalStringReply(platform::IpcReply reply) {
  return [reply = std::move(reply)](const std::optional<std::string>& s) {
    reply(replyArgs(optionalString(s)));
  };
}

}  // namespace

IpcService::IpcService(std::shared_ptr<Helper> helper, std::string socketPath, CallerPolicy policy)
    : helper_(std::move(helper)),
      policy_(std::move(policy)),
      listener_(std::move(socketPath), kHelperMachServiceName) {
  listener_.setDelegate([this](const std::shared_ptr<platform::IpcConnection>& connection) {
    return shouldAcceptNewConnection(connection);
  });
  listener_.setRestrictor(
      [policy = policy_](uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
        return policy.classify(uid, gid, groups) == CallerClass::Observer;
      },
      CallerPolicy::kObserverMaxFrame);
}

IpcService::~IpcService() {
  invalidate();
}

void IpcService::resume() {
  listener_.resume();
}

void IpcService::invalidate() {
  listener_.invalidate();
}

bool IpcService::shouldAcceptNewConnection(
    const std::shared_ptr<platform::IpcConnection>& connection) {
  auto interface = HelperProtocol::makeInterface();
  for (const auto& allowance : HelperProtocol::classAllowances()) {
    interface->setClasses(allowance.classes, allowance.selector, allowance.index,
                          allowance.ofReply);
  }
  connection->setExportedInterface(std::move(interface));
  // Classed by the listener at accept: an observer's connection is restricted.
  const bool owner = !connection->isRestricted();
  if (owner) {
    connection->setExportedObject([helper = helper_](const platform::IpcMethod& method,
                                                     IpcValue args,
                                                     const platform::IpcReply& reply) {
      dispatch(*helper, method, std::move(args), reply);
    });
  } else {
    // Refusals are logged at most once a second per connection, so a peer
    // cannot flood the log with them.
    auto lastLogged = std::make_shared<std::atomic<int64_t>>(INT64_MIN / 2);
    connection->setExportedObject(
        [helper = helper_, lastLogged, uid = connection->effectiveUserIdentifier(),
         pid = connection->processIdentifier()](const platform::IpcMethod& method, IpcValue args,
                                                const platform::IpcReply& reply) {
          if (CallerPolicy::observerMay(method.slot)) {
            return dispatch(*helper, method, std::move(args), reply);
          }
          const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
          int64_t last = lastLogged->load();
          if (now - last >= 1000 && lastLogged->compare_exchange_strong(last, now)) {
            Helper::log("not permitted: " + method.selector + " (uid " + std::to_string(uid) +
                        ", pid " + std::to_string(pid) + ")");
          }
          reply(refusal(method));
        });
  }
  std::weak_ptr<Helper> weakHelper = helper_;
  connection->setInvalidationHandler([weakHelper] {
    if (weakHelper.lock()) Helper::log("Connection invalidated");
  });
  connection->setInterruptionHandler([weakHelper] {
    if (weakHelper.lock()) Helper::log("Connection interrupted");
  });
  connection->resume();
  return helper_->acceptConnection(connection->processIdentifier(), owner,
                                   owner ? connection->peerProcess() : nullptr);
}

IpcValue IpcService::refusal(const platform::IpcMethod& method) {
  switch (method.slot) {
    case HelperProtocol::kStartProxy:
    case HelperProtocol::kReloadProxy:
    case HelperProtocol::kInstallKernel:
      return replyArgs(false, "not permitted");
    case HelperProtocol::kKernelQuery:
      return replyArgs(nullptr);
    default:  // every other refused request answers with one Bool
      return replyArgs(false);
  }
}

void IpcService::dispatch(Helper& helper, const platform::IpcMethod& method, IpcValue args,
                          const platform::IpcReply& reply) {
  // The listener checked the arguments against the table, so these reads
  // cannot fail.
  auto str = [&](size_t i) { return args[i].get<std::string>(); };
  auto i64 = [&](size_t i) { return args[i].get<int64_t>(); };
  switch (method.slot) {
    case HelperProtocol::kGetVersion:
      return helper.getVersion([reply](std::string v) { reply(replyArgs(std::move(v))); });
    case HelperProtocol::kUninstallHelper:
      return helper.uninstallHelper(boolReply(reply));
    case HelperProtocol::kSetSystemProxy:
      return helper.setSystemProxy(str(0), i64(1), i64(2), boolReply(reply));
    case HelperProtocol::kClearSystemProxy:
      return helper.clearSystemProxy(boolReply(reply));
    case HelperProtocol::kFlushDNS:
      return helper.flushDNS(boolReply(reply));
    case HelperProtocol::kStartProxy:
      return helper.startProxy(str(0), boolErrorReply(reply));
    case HelperProtocol::kStopProxy:
      return helper.stopProxy(boolReply(reply));
    case HelperProtocol::kReloadProxy:
      return helper.reloadProxy(str(0), boolErrorReply(reply));
    case HelperProtocol::kGetProxyStatus:
      return helper.getProxyStatus([reply](std::optional<ProxyStatus> status) {
        reply(replyArgs(status ? status->toArchive() : IpcValue(nullptr)));
      });
    case HelperProtocol::kSelectOutbound:
      return helper.selectOutbound(str(0), str(1), boolReply(reply));
    case HelperProtocol::kSetRouteMode:
      return helper.setRouteMode(str(0), boolReply(reply));
    case HelperProtocol::kGetTrafficStats:
      return helper.getTrafficStats(
          [reply](int64_t up, int64_t down, int64_t totalUp, int64_t totalDown) {
            reply(replyArgs(up, down, totalUp, totalDown));
          });
    case HelperProtocol::kUpdateTun:
      return helper.updateTun(args[0].get<bool>(), boolReply(reply));
    case HelperProtocol::kKernelQuery:
      return helper.kernelQuery(str(0), str(1), optionalStringReply(reply));
    case HelperProtocol::kInstallKernel: {
      std::vector<uint8_t> bytes =
          std::move(static_cast<std::vector<uint8_t>&>(args[0].get_binary()));
      return helper.installKernel(std::move(bytes), boolErrorReply(reply));
    }
    case HelperProtocol::kGetKernelVersion:
      return helper.getKernelVersion(optionalStringReply(reply));
  }
}

}  // namespace zelvo
