#include "client/helper_client.h"

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "platform/dispatch.h"
#include "service/helper_protocol.h"

namespace zelvo {

using platform::Error;
using platform::IpcResult;
using platform::IpcValue;

namespace {

Error replyInvalid(const std::string& why) {
  return Error(platform::kIpcErrorDomain, platform::kIpcReplyInvalid, why);
}

// Adapts a typed completion to the untyped one: decodes the reply arguments
// (already checked against the interface) with `decode`.
template <class T, class Decode>
platform::IpcClientConnection::Completion typed(HelperClient::Completion<T> completion,
                                                Decode decode) {
  return [completion = std::move(completion), decode](IpcResult r) {
    Result<T> result;
    if (!r.ok()) {
      result = Result<T>::failure(std::move(*r.error));
    } else {
      try {
        result = Result<T>::success(decode(*r.reply));
      } catch (const Error& e) {
        result = Result<T>::failure(e);
      } catch (const std::exception& e) {
        result = Result<T>::failure(replyInvalid(e.what()));
      }
    }
    completion(std::move(result));
  };
}

template <class... T>
IpcValue args(T&&... values) {
  IpcValue a = IpcValue::array();
  (a.push_back(IpcValue(std::forward<T>(values))), ...);
  return a;
}

std::optional<std::string> optionalString(const IpcValue& v) {
  if (v.is_null()) return std::nullopt;
  return v.get<std::string>();
}

auto decodeString = [](const IpcValue& r) { return r[0].get<std::string>(); };
auto decodeBool = [](const IpcValue& r) { return r[0].get<bool>(); };
auto decodeOptionalString = [](const IpcValue& r) { return optionalString(r[0]); };
auto decodeOperation = [](const IpcValue& r) {
  return OperationResult{r[0].get<bool>(), optionalString(r[1])};
};
auto decodeTraffic = [](const IpcValue& r) {
  return TrafficStats{r[0].get<int64_t>(), r[1].get<int64_t>(), r[2].get<int64_t>(),
                      r[3].get<int64_t>()};
};
auto decodeStatus = [](const IpcValue& r) -> std::optional<ProxyStatus> {
  if (r[0].is_null() || r[0].is_string()) return std::nullopt;
  return ProxyStatus::fromArchive(r[0]);
};

}  // namespace

HelperClient::HelperClient(std::string socketPath) : socketPath_(std::move(socketPath)) {}

HelperClient::~HelperClient() {
  {
    // Completions failed from here on may call back in: they must not
    // connect anew into a client that is going away.
    std::lock_guard lock(lock_);
    closing_ = true;
  }
  disconnect();
}

std::string HelperClient::socketPathForRoot(const std::string& root) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return (r == "/" ? std::string() : r) + kHelperSocketPath;
}

std::shared_ptr<platform::IpcClientConnection> HelperClient::connection() {
  std::shared_ptr<platform::IpcClientConnection> stale;
  std::lock_guard lock(lock_);
  if (connection_ && connection_->isValid()) return connection_;
  if (closing_) {
    throw Error(platform::kIpcErrorDomain, platform::kIpcConnectionInvalid,
                "the client is being destroyed");
  }
  // A broken connection is released outside the lock (see below), since its
  // destructor waits for its reader, which may be calling back into us.
  stale = std::move(connection_);
  auto fresh = platform::IpcClientConnection::connect(socketPath_, HelperProtocol::interface(),
                                                      requiredOwner_, timeout_);
  // Not `this`: a connection dropped from one of its own completions lets its
  // reader finish alone, possibly after this client is gone.
  fresh->setInterruptionHandler([interruption = interruption_] {
    std::function<void()> handler;
    {
      std::lock_guard lock(interruption->mu);
      handler = interruption->handler;
    }
    if (handler) handler();
  });
  connection_ = fresh;
  // `stale` must die after the lock is released: declared before the guard,
  // it is destroyed after it.
  return fresh;
}

void HelperClient::connect() {
  (void)connection();
}

void HelperClient::disconnect() {
  std::shared_ptr<platform::IpcClientConnection> old;
  {
    std::lock_guard lock(lock_);
    old = std::move(connection_);
  }
  if (old) old->invalidate();
}

bool HelperClient::isConnected() const {
  std::lock_guard lock(lock_);
  return connection_ && connection_->isValid();
}

void HelperClient::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(interruption_->mu);
  interruption_->handler = std::move(handler);
}

void HelperClient::setRequiredSocketOwner(std::optional<uid_t> uid) {
  std::lock_guard lock(lock_);
  requiredOwner_ = uid;
}

void HelperClient::setTimeout(std::chrono::duration<double> timeout) {
  std::lock_guard lock(lock_);
  timeout_ = timeout;
}

std::chrono::duration<double> HelperClient::timeout() const {
  std::lock_guard lock(lock_);
  return timeout_;
}

void HelperClient::call(const char* selector, IpcValue arguments,
                        platform::IpcClientConnection::Completion completion) {
  std::shared_ptr<platform::IpcClientConnection> conn;
  try {
    conn = connection();
  } catch (const Error& e) {
    completion(IpcResult{std::nullopt, e});
    return;
  }
  conn->send(selector, std::move(arguments), std::move(completion));
}

template <class T, class Decode>
// NOLINTNEXTLINE(performance-unnecessary-value-param): moved into send() below
Result<T> HelperClient::wait(const char* selector, IpcValue arguments, Decode decode) {
  if (platform::IpcClientConnection::onAnyReaderThread()) {
    return Result<T>::failure(Error(platform::kIpcErrorDomain, platform::kIpcBadRequest,
                                    "blocking call from inside a completion"));
  }
  struct Box {
    std::mutex m;
    std::condition_variable cv;
    std::optional<Result<T>> result;
    std::atomic<bool> ready{false};
  };
  auto box = std::make_shared<Box>();
  // From the start of the call, and read before anything that might let the
  // client go (another thread may destroy it while this one waits).
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout());
  std::shared_ptr<platform::IpcClientConnection> conn;
  try {
    conn = connection();
  } catch (const Error& e) {
    return Result<T>::failure(e);
  }
  Completion<T> done = [box](Result<T> r) {
    std::lock_guard lock(box->m);
    box->result = std::move(r);
    box->ready.store(true, std::memory_order_release);
    box->cv.notify_one();
  };
  // The reply is expected within microseconds: reading it on this thread
  // spares both the reader thread's wake-up and this thread's.
  const uint64_t seq =
      conn->send(selector, std::move(arguments), typed(std::move(done), decode), /*watched=*/true);
  platform::spinFor(platform::kReplySpin, [&] {
    if (!box->ready.load(std::memory_order_acquire)) conn->pollReplies();
    return box->ready.load(std::memory_order_acquire);
  });
  // From here on the reader thread reads the reply.
  conn->stopWatching(seq);
  std::unique_lock lock(box->m);
  if (!box->cv.wait_until(lock, deadline, [&] { return box->result.has_value(); })) {
    lock.unlock();
    conn->abandon(seq);  // nothing waits for it any more
    return Result<T>::failure(Error(platform::kIpcErrorDomain, platform::kIpcTimedOut,
                                    "no reply from the helper in time"));
  }
  return std::move(*box->result);
}

// ---- Asynchronous calls ----

void HelperClient::getVersion(Completion<std::string> c) {
  call(HelperProtocol::getVersion, args(), typed(std::move(c), decodeString));
}
void HelperClient::uninstallHelper(Completion<bool> c) {
  call(HelperProtocol::uninstallHelper, args(), typed(std::move(c), decodeBool));
}
void HelperClient::setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort,
                                  Completion<bool> c) {
  call(HelperProtocol::setSystemProxy, args(host, httpPort, socksPort),
       typed(std::move(c), decodeBool));
}
void HelperClient::clearSystemProxy(Completion<bool> c) {
  call(HelperProtocol::clearSystemProxy, args(), typed(std::move(c), decodeBool));
}
void HelperClient::flushDNS(Completion<bool> c) {
  call(HelperProtocol::flushDNS, args(), typed(std::move(c), decodeBool));
}
void HelperClient::startProxy(const std::string& config, Completion<OperationResult> c) {
  call(HelperProtocol::startProxy, args(config), typed(std::move(c), decodeOperation));
}
void HelperClient::stopProxy(Completion<bool> c) {
  call(HelperProtocol::stopProxy, args(), typed(std::move(c), decodeBool));
}
void HelperClient::reloadProxy(const std::string& config, Completion<OperationResult> c) {
  call(HelperProtocol::reloadProxy, args(config), typed(std::move(c), decodeOperation));
}
void HelperClient::getProxyStatus(Completion<std::optional<ProxyStatus>> c) {
  call(HelperProtocol::getProxyStatus, args(), typed(std::move(c), decodeStatus));
}
void HelperClient::selectOutbound(const std::string& groupTag, const std::string& outboundTag,
                                  Completion<bool> c) {
  call(HelperProtocol::selectOutbound, args(groupTag, outboundTag),
       typed(std::move(c), decodeBool));
}
void HelperClient::setRouteMode(const std::string& mode, Completion<bool> c) {
  call(HelperProtocol::setRouteMode, args(mode), typed(std::move(c), decodeBool));
}
void HelperClient::getTrafficStats(Completion<TrafficStats> c) {
  call(HelperProtocol::getTrafficStats, args(), typed(std::move(c), decodeTraffic));
}
void HelperClient::updateTun(bool enable, Completion<bool> c) {
  call(HelperProtocol::updateTun, args(enable), typed(std::move(c), decodeBool));
}
void HelperClient::kernelQuery(const std::string& method, const std::string& data,
                               Completion<std::optional<std::string>> c) {
  call(HelperProtocol::kernelQuery, args(method, data), typed(std::move(c), decodeOptionalString));
}
void HelperClient::installKernel(std::vector<uint8_t> binaryData, Completion<OperationResult> c) {
  call(HelperProtocol::installKernel, args(IpcValue::binary(std::move(binaryData))),
       typed(std::move(c), decodeOperation));
}
void HelperClient::getKernelVersion(Completion<std::optional<std::string>> c) {
  call(HelperProtocol::getKernelVersion, args(), typed(std::move(c), decodeOptionalString));
}

// ---- Blocking calls ----

Result<std::string> HelperClient::getVersion() {
  return wait<std::string>(HelperProtocol::getVersion, args(), decodeString);
}
Result<bool> HelperClient::uninstallHelper() {
  return wait<bool>(HelperProtocol::uninstallHelper, args(), decodeBool);
}
Result<bool> HelperClient::setSystemProxy(const std::string& host, int64_t httpPort,
                                          int64_t socksPort) {
  return wait<bool>(HelperProtocol::setSystemProxy, args(host, httpPort, socksPort), decodeBool);
}
Result<bool> HelperClient::clearSystemProxy() {
  return wait<bool>(HelperProtocol::clearSystemProxy, args(), decodeBool);
}
Result<bool> HelperClient::flushDNS() {
  return wait<bool>(HelperProtocol::flushDNS, args(), decodeBool);
}
Result<OperationResult> HelperClient::startProxy(const std::string& config) {
  return wait<OperationResult>(HelperProtocol::startProxy, args(config), decodeOperation);
}
Result<bool> HelperClient::stopProxy() {
  return wait<bool>(HelperProtocol::stopProxy, args(), decodeBool);
}
Result<OperationResult> HelperClient::reloadProxy(const std::string& config) {
  return wait<OperationResult>(HelperProtocol::reloadProxy, args(config), decodeOperation);
}
Result<std::optional<ProxyStatus>> HelperClient::getProxyStatus() {
  return wait<std::optional<ProxyStatus>>(HelperProtocol::getProxyStatus, args(), decodeStatus);
}
Result<bool> HelperClient::selectOutbound(const std::string& groupTag,
                                          const std::string& outboundTag) {
  return wait<bool>(HelperProtocol::selectOutbound, args(groupTag, outboundTag), decodeBool);
}
Result<bool> HelperClient::setRouteMode(const std::string& mode) {
  return wait<bool>(HelperProtocol::setRouteMode, args(mode), decodeBool);
}
Result<TrafficStats> HelperClient::getTrafficStats() {
  return wait<TrafficStats>(HelperProtocol::getTrafficStats, args(), decodeTraffic);
}
Result<bool> HelperClient::updateTun(bool enable) {
  return wait<bool>(HelperProtocol::updateTun, args(enable), decodeBool);
}
Result<std::optional<std::string>> HelperClient::kernelQuery(const std::string& method,
                                                             const std::string& data) {
  return wait<std::optional<std::string>>(HelperProtocol::kernelQuery, args(method, data),
                                          decodeOptionalString);
}
Result<OperationResult> HelperClient::installKernel(std::vector<uint8_t> binaryData) {
  return wait<OperationResult>(HelperProtocol::installKernel,
                               args(IpcValue::binary(std::move(binaryData))), decodeOperation);
}
Result<std::optional<std::string>> HelperClient::getKernelVersion() {
  return wait<std::optional<std::string>>(HelperProtocol::getKernelVersion, args(),
                                          decodeOptionalString);
}

}  // namespace zelvo
