// The methods the daemon calls over the control socket, and the objects they
// act on: configuration state, traffic counters, the connection table and
// the mixed listeners. One Kernel lives for the whole process. handle() is
// called by the control reader, one request at a time; replies may be sent
// later from other threads (delay tests, delayed replies).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "connection_table.h"
#include "control_connection.h"
#include "kernel_state.h"
#include "mixed_listener.h"
#include "options.h"
#include "outbox.h"
#include "proxy_session.h"
#include "traffic.h"

namespace zelvan {

inline constexpr const char* kKernelName = "zelvan-core";
inline constexpr const char* kKernelVersion = "1.0.0";

struct Reply {
  long long code = 0;
  nlohmann::json data = "";
};

class Kernel {
 public:
  explicit Kernel(const Options& options);
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  void handle(const nlohmann::json& request, const std::shared_ptr<ControlConnection>& conn);

 private:
  struct Request {
    std::string method;
    nlohmann::json id;
    std::string idText;
    nlohmann::json data;
  };

  Reply initCore(const Request& r);
  Reply setupConfig(const Request& r);
  Reply startListener(const Request& r);
  Reply changeProxy(const Request& r);
  Reply updateConfig(const Request& r);
  Reply closeConnections(const Request& r);
  Reply traffic(const Request& r, bool total);
  Reply getConnections(const Request& r);
  Reply getProxies(const Request& r);
  Reply getConfig(const Request& r);
  Reply getMemory(const Request& r);
  Reply getExternalProviders(const Request& r);
  // Replies itself, from a thread of its own, once every outbound is measured.
  std::optional<Reply> asyncTestDelay(const Request& r,
                                      const std::shared_ptr<ControlConnection>& conn);

  void respond(const Request& r, const Reply& reply,
               const std::shared_ptr<ControlConnection>& conn);
  // Opens listeners on the configured ports and closes the others.
  std::optional<std::string> reconcileListeners();
  std::vector<int64_t> listeningPorts();

  const Options& options_;
  KernelState state_;
  Traffic traffic_;
  ConnectionTable table_;
  ProxyContext ctx_;
  Outbox outbox_;
  std::mutex listenersMu_;  // guards listeners_ and listenerWanted_
  std::map<int64_t, std::unique_ptr<MixedListener>> listeners_;
  bool listenerWanted_ = false;  // startListener was called
};

}  // namespace zelvan
