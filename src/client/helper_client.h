// HelperClient: the C++ client of the helper's IPC protocol. Every operation
// of HelperProtocol comes in two forms: asynchronous, with a completion that
// runs exactly once with the typed reply or an error; and blocking, which
// waits at most timeout() and returns the same Result.
//
// The client connects on first use and again on the first call after its
// connection broke, so it survives a restarted helper. When a connection
// breaks, the calls pending on it fail at once with kIpcConnectionInterrupted
// (domain kIpcErrorDomain). When the helper cannot be reached a call fails
// with the POSIX error of the connect (for example ENOENT or ECONNREFUSED).
//
// Completions run on the connection's reader thread (see ipc_client.h) and
// must not block; a blocking call made from a completion fails with
// kIpcBadRequest instead of deadlocking.
//
// Thread-safety: all methods may be called from any thread concurrently.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/ipc_client.h"
#include "service/proxy_status.h"

namespace zelvo {

template <class T>
struct Result {
  std::optional<T> value;
  std::optional<platform::Error> error;

  bool ok() const { return value.has_value(); }
  const T& operator*() const { return *value; }
  const T* operator->() const { return &*value; }
  static Result success(T v) { return {std::move(v), std::nullopt}; }
  static Result failure(platform::Error e) { return {std::nullopt, std::move(e)}; }
};

// A Bool success with an optional message (start, reload, install).
struct OperationResult {
  bool success = false;
  std::optional<std::string> message;
  bool operator==(const OperationResult&) const = default;
};

struct TrafficStats {
  int64_t up = 0, down = 0, totalUp = 0, totalDown = 0;
  bool operator==(const TrafficStats&) const = default;
};

class HelperClient {
 public:
  template <class T>
  using Completion = std::function<void(Result<T>)>;

  explicit HelperClient(std::string socketPath);
  // Pending calls fail with kIpcConnectionInvalid.
  ~HelperClient();
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  // "<root>/var/run/com.zelvo.svc.helper.sock" ("/" gives the system path).
  static std::string socketPathForRoot(const std::string& root);

  const std::string& socketPath() const { return socketPath_; }

  // Connects now if not connected. Throws platform::Error when the helper
  // cannot be reached.
  void connect();
  // Drops the connection; pending calls fail. The next call reconnects.
  void disconnect();
  bool isConnected() const;

  // Runs (on the reader thread) when a connection breaks while it was in use
  // by the helper going away.
  void setInterruptionHandler(std::function<void()> handler);

  // The uid that must own the helper's socket and serve it (default root);
  // nothing turns the check off for the system's socket but this.
  void setRequiredSocketOwner(std::optional<uid_t> uid);

  // The bound of every blocking call (default 30 s), from its start. The
  // bound in force when a connection is made also bounds connecting and
  // sending each request on it, waiting behind other requests included: a
  // request that waited that long fails alone, and one the helper did not
  // take in that time breaks the connection, failing the calls pending on it
  // (kIpcTimedOut, without the interruption handler).
  void setTimeout(std::chrono::duration<double> timeout);
  std::chrono::duration<double> timeout() const;

  // ---- Asynchronous calls, in protocol order ----
  void getVersion(Completion<std::string> completion);
  void uninstallHelper(Completion<bool> completion);
  void setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort,
                      Completion<bool> completion);
  void clearSystemProxy(Completion<bool> completion);
  void flushDNS(Completion<bool> completion);
  void startProxy(const std::string& config, Completion<OperationResult> completion);
  void stopProxy(Completion<bool> completion);
  void reloadProxy(const std::string& config, Completion<OperationResult> completion);
  // The reply position admits a ProxyStatus or a string; a string (which the
  // helper never sends) is reported as no record.
  void getProxyStatus(Completion<std::optional<ProxyStatus>> completion);
  void selectOutbound(const std::string& groupTag, const std::string& outboundTag,
                      Completion<bool> completion);
  void setRouteMode(const std::string& mode, Completion<bool> completion);
  void getTrafficStats(Completion<TrafficStats> completion);
  void updateTun(bool enable, Completion<bool> completion);
  void kernelQuery(const std::string& method, const std::string& data,
                   Completion<std::optional<std::string>> completion);
  void installKernel(std::vector<uint8_t> binaryData, Completion<OperationResult> completion);
  void getKernelVersion(Completion<std::optional<std::string>> completion);

  // ---- Blocking calls: the same operations, waiting at most timeout() ----
  Result<std::string> getVersion();
  Result<bool> uninstallHelper();
  Result<bool> setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort);
  Result<bool> clearSystemProxy();
  Result<bool> flushDNS();
  Result<OperationResult> startProxy(const std::string& config);
  Result<bool> stopProxy();
  Result<OperationResult> reloadProxy(const std::string& config);
  Result<std::optional<ProxyStatus>> getProxyStatus();
  Result<bool> selectOutbound(const std::string& groupTag, const std::string& outboundTag);
  Result<bool> setRouteMode(const std::string& mode);
  Result<TrafficStats> getTrafficStats();
  Result<bool> updateTun(bool enable);
  Result<std::optional<std::string>> kernelQuery(const std::string& method,
                                                 const std::string& data);
  Result<OperationResult> installKernel(std::vector<uint8_t> binaryData);
  Result<std::optional<std::string>> getKernelVersion();

  // The untyped call under the asynchronous calls: `args` in protocol order.
  void call(const char* selector, platform::IpcValue args,
            platform::IpcClientConnection::Completion completion);

 private:
  // Returns the live connection, connecting if needed; throws on failure.
  std::shared_ptr<platform::IpcClientConnection> connection();
  // Sends `selector` and waits for its reply, decoded by `decode`.
  template <class T, class Decode>
  Result<T> wait(const char* selector, platform::IpcValue args, Decode decode);

  const std::string socketPath_;
  mutable std::mutex lock_;  // connection_, timeout_, requiredOwner_, closing_
  bool closing_ = false;     // in the destructor: no new connection
  std::optional<uid_t> requiredOwner_ = 0;
  std::shared_ptr<platform::IpcClientConnection> connection_;
  struct Interruption {
    std::mutex mu;  // handler
    std::function<void()> handler;
  };
  const std::shared_ptr<Interruption> interruption_ = std::make_shared<Interruption>();
  std::chrono::duration<double> timeout_{30.0};
};

}  // namespace zelvo
