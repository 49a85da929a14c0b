#include "kernel.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>
#include <thread>

#include "delay_test.h"
#include "log.h"

namespace zelvan {

using nlohmann::json;

namespace {

constexpr int kDefaultDelayTimeoutMs = 5000;

// Replacement characters instead of an exception for invalid UTF-8.
std::string dumpSafe(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Structured payloads arrive as JSON text inside a JSON string: decode twice.
// An object sent directly is taken as it is. Empty text means no payload.
std::optional<json> decodePayload(const json& data) {
  if (data.is_object()) return data;
  if (!data.is_string()) return std::nullopt;
  const std::string& text = data.get_ref<const std::string&>();
  if (text.empty()) return json::object();
  json inner = json::parse(text, nullptr, false);
  if (inner.is_discarded()) return std::nullopt;
  return inner;
}

Reply fail(std::string text) {
  return {1, std::move(text)};
}
Reply jsonText(const json& j) {
  return {0, dumpSafe(j)};
}

}  // namespace

Kernel::Kernel(const Options& options)
    : options_(options),
      table_(static_cast<size_t>(options.maxConnections)),
      ctx_{state_, table_, traffic_, options},
      outbox_(options.replyDelayMs) {}

void Kernel::handle(const json& request, const std::shared_ptr<ControlConnection>& conn) {
  Request r;
  if (request.contains("method") && request["method"].is_string()) {
    r.method = request["method"].get<std::string>();
  }
  r.id = request.contains("id") ? request["id"] : json();
  r.idText = r.id.is_string() ? r.id.get<std::string>() : dumpSafe(r.id);
  r.data = request.contains("data") ? request["data"] : json();

  logInfo("recv " + r.method + " id=" + r.idText);
  if (!redactLog() && !r.data.is_null()) {
    logInfo("data " + r.method + " id=" + r.idText + ": " + dumpSafe(r.data));
  }

  if (r.method == "shutdown") {
    logInfo("shutdown requested; exiting");
    flushLog();
    ::_exit(0);
  }
  if (options_.failMethod && options_.failMethod->method == r.method) {
    logInfo("fault: failing " + r.method + " with code " +
            std::to_string(options_.failMethod->code));
    respond(r, {options_.failMethod->code, options_.failMethod->data}, conn);
    return;
  }

  std::optional<Reply> reply;
  if (r.method == "initCore") {
    reply = initCore(r);
  } else if (r.method == "setupConfig") {
    reply = setupConfig(r);
  } else if (r.method == "startListener") {
    reply = startListener(r);
  } else if (r.method == "changeProxy") {
    reply = changeProxy(r);
  } else if (r.method == "updateConfig") {
    reply = updateConfig(r);
  } else if (r.method == "closeConnections") {
    reply = closeConnections(r);
  } else if (r.method == "getTraffic") {
    reply = traffic(r, false);
  } else if (r.method == "getTotalTraffic") {
    reply = traffic(r, true);
  } else if (r.method == "getConnections") {
    reply = getConnections(r);
  } else if (r.method == "getProxies") {
    reply = getProxies(r);
  } else if (r.method == "getConfig") {
    reply = getConfig(r);
  } else if (r.method == "getMemory") {
    reply = getMemory(r);
  } else if (r.method == "getExternalProviders") {
    reply = getExternalProviders(r);
  } else if (r.method == "asyncTestDelay") {
    reply = asyncTestDelay(r, conn);
  } else {
    reply = fail("unknown method: " + r.method);
  }
  if (reply) respond(r, *reply, conn);
}

void Kernel::respond(const Request& r, const Reply& reply,
                     const std::shared_ptr<ControlConnection>& conn) {
  if (r.id.is_null() || (r.id.is_string() && r.idText.empty())) return;  // nobody waits for it
  if (options_.silences(r.method)) {
    logInfo("fault: withholding reply to " + r.method + " id=" + r.idText);
    return;
  }
  std::string line =
      "reply " + r.method + " id=" + r.idText + " code=" + std::to_string(reply.code);
  if (reply.code != 0 && !redactLog() && reply.data.is_string()) {
    line += " " + reply.data.get<std::string>();
  }
  logInfo(line);
  flushLog();  // the request's lines are in the log before its reply is out
  // Written out by hand, keys in the sorted order a dump of the object would
  // give: every status call waits for this reply, and building an object
  // only to dump it took a third of the time a traffic query costs here.
  outbox_.send(conn, "{\"code\":" + std::to_string(reply.code) +
                         ",\"data\":" + dumpSafe(reply.data) + ",\"id\":" + dumpSafe(r.id) + "}");
}

Reply Kernel::initCore(const Request& r) {
  auto p = decodePayload(r.data);
  if (!p || !p->is_object()) return fail("initCore payload is not a JSON object");
  std::string home = p->contains("home-dir") && (*p)["home-dir"].is_string()
                         ? (*p)["home-dir"].get<std::string>()
                         : "";
  long long version =
      p->contains("version") && (*p)["version"].is_number() ? (*p)["version"].get<long long>() : 0;
  state_.initCore(home, version);
  logInfo("initCore: protocol version " + std::to_string(version));
  return {};
}

Reply Kernel::setupConfig(const Request& r) {
  auto p = decodePayload(r.data);
  if (!p || !p->is_object()) return fail("setupConfig payload is not a JSON object");
  if (!p->contains("config") || !(*p)["config"].is_string()) {
    return fail("setupConfig payload has no \"config\" text");
  }
  const std::string& text = (*p)["config"].get_ref<const std::string&>();
  KernelConfig cfg = parseConfig(text);
  size_t proxies = cfg.proxies.size(), groups = cfg.groups.size();
  bool defaults = cfg.defaultOutbounds;
  json selected = p->contains("selected-map") ? (*p)["selected-map"] : json::object();
  auto rejected = state_.applyConfig(std::move(cfg), selected);

  std::string summary =
      "setupConfig: configuration of " + std::to_string(text.size()) + " bytes applied (" +
      std::to_string(proxies) + " outbounds, " + std::to_string(groups) + " groups" +
      (defaults ? ", default outbounds" : "") + ", " + std::to_string(selected.size()) +
      " selections given, " + std::to_string(rejected.size()) + " not applicable)";
  logInfo(summary);
  if (!redactLog()) logInfo("setupConfig: configuration text:\n" + text);

  std::lock_guard lock(listenersMu_);
  if (listenerWanted_) {
    if (auto err = reconcileListeners()) return fail(*err);
  }
  return {};
}

Reply Kernel::startListener(const Request& /*request*/) {
  if (!state_.configured()) return fail("no configuration: setupConfig must come first");
  std::lock_guard lock(listenersMu_);
  listenerWanted_ = true;
  if (auto err = reconcileListeners()) return fail(*err);
  return {};
}

std::optional<std::string> Kernel::reconcileListeners() {
  std::vector<int64_t> wanted = state_.ports();
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    if (std::find(wanted.begin(), wanted.end(), it->first) == wanted.end()) {
      it = listeners_.erase(it);
    } else {
      ++it;
    }
  }
  std::string errors;
  for (int64_t port : wanted) {
    if (listeners_.count(port)) continue;
    auto l = std::make_unique<MixedListener>(ctx_);
    if (auto err = l->start(port)) {
      logError(redactLog() ? "mixed listener failed to start" : "mixed listener failed: " + *err);
      errors += (errors.empty() ? "" : "; ") + *err;
      continue;
    }
    logInfo(redactLog() ? "mixed listener started"
                        : "mixed listener started on 127.0.0.1:" + std::to_string(port));
    listeners_.emplace(port, std::move(l));
  }
  if (!errors.empty()) return errors;
  return std::nullopt;
}

std::vector<int64_t> Kernel::listeningPorts() {
  std::lock_guard lock(listenersMu_);
  std::vector<int64_t> ports;
  for (const auto& [port, _] : listeners_) ports.push_back(port);
  return ports;
}

Reply Kernel::changeProxy(const Request& r) {
  auto p = decodePayload(r.data);
  if (!p || !p->is_object()) return fail("changeProxy payload is not a JSON object");
  if (!p->contains("group-name") || !(*p)["group-name"].is_string() || !p->contains("proxy-name") ||
      !(*p)["proxy-name"].is_string()) {
    return fail("changeProxy needs \"group-name\" and \"proxy-name\"");
  }
  if (auto err = state_.changeProxy((*p)["group-name"].get<std::string>(),
                                    (*p)["proxy-name"].get<std::string>())) {
    return fail(*err);
  }
  return {};
}

Reply Kernel::updateConfig(const Request& r) {
  auto p = decodePayload(r.data);
  if (!p) return fail("updateConfig payload is not JSON");
  if (auto err = state_.updateConfig(*p)) return fail(*err);
  return {};
}

Reply Kernel::closeConnections(const Request&) {
  size_t n = table_.closeAll();
  logInfo("closeConnections: closed " + std::to_string(n) + " connections");
  return {};
}

Reply Kernel::traffic(const Request&, bool total) {
  TrafficPair t = total ? traffic_.total() : traffic_.rate();
  return {0, "{\"down\":" + std::to_string(t.down) + ",\"up\":" + std::to_string(t.up) + "}"};
}

Reply Kernel::getConnections(const Request&) {
  TrafficPair t = traffic_.total();
  return jsonText({{"downloadTotal", t.down},
                   {"uploadTotal", t.up},
                   {"connections", table_.connectionsJson()}});
}

Reply Kernel::getProxies(const Request&) {
  return jsonText(state_.proxiesJson());
}

Reply Kernel::getConfig(const Request&) {
  return jsonText(state_.configJson(listeningPorts()));
}

Reply Kernel::getMemory(const Request&) {
  long long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages >> resident;
  return jsonText({{"inuse", resident * ::sysconf(_SC_PAGESIZE)}, {"oslimit", 0}});
}

Reply Kernel::getExternalProviders(const Request&) {
  return jsonText(state_.providersJson());
}

std::optional<Reply> Kernel::asyncTestDelay(const Request& r,
                                            const std::shared_ptr<ControlConnection>& conn) {
  json payload = json::object();
  if (r.data.is_string() && !r.data.get_ref<const std::string&>().empty()) {
    auto p = decodePayload(r.data);
    if (p && p->is_object()) {
      payload = *p;
    } else if (!p || !p->is_string()) {
      payload["url"] = r.data.get<std::string>();  // a bare URL
    } else {
      payload["url"] = p->get<std::string>();
    }
  } else if (r.data.is_object()) {
    payload = r.data;
  }
  int timeoutMs = kDefaultDelayTimeoutMs;
  if (payload.contains("timeout") && payload["timeout"].is_number_integer()) {
    timeoutMs =
        static_cast<int>(std::clamp<long long>(payload["timeout"].get<long long>(), 1, 60000));
  }
  std::string name = payload.contains("name") && payload["name"].is_string()
                         ? payload["name"].get<std::string>()
                         : "";

  std::optional<HostPort> target;
  if (payload.contains("url") && payload["url"].is_string()) {
    target = parseUrlAddress(payload["url"].get<std::string>());
    if (!target) return fail("asyncTestDelay: cannot read a host and port from the url");
  } else {
    // No address given: measure the kernel's own listener, which is always
    // on this machine.
    auto ports = listeningPorts();
    if (ports.empty()) return fail("asyncTestDelay: no url given and no listener running");
    target = HostPort{"127.0.0.1", static_cast<uint16_t>(ports.front())};
  }
  auto outbounds = state_.delayTargets(name);
  if (!outbounds) return fail("asyncTestDelay: no proxy or group named " + name);

  try {
    std::thread([this, r, conn, target = *target, timeoutMs, outbounds = std::move(*outbounds)] {
      json results = json::object();
      measureAll(outbounds, target, timeoutMs, [&](const std::string& proxy, long long ms) {
        state_.recordDelay(proxy, ms);
        results[proxy] = ms;
        json result = {{"name", proxy}, {"value", ms}};
        json message = {{"type", "delay"}, {"data", std::move(result)}};
        // A push: no "id".
        conn->send(dumpSafe({{"method", "message"}, {"data", std::move(message)}}));
      });
      logInfo("asyncTestDelay: measured " + std::to_string(outbounds.size()) + " outbounds");
      respond(r, jsonText(results), conn);
    }).detach();
  } catch (const std::system_error& e) {
    return fail(std::string("asyncTestDelay: ") + e.what());
  }
  return std::nullopt;
}

}  // namespace zelvan
