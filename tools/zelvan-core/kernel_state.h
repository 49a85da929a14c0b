// The kernel's control-plane state: the configuration in force, the routing
// mode, the TUN setting, the selection of every group and the last delay
// measured per outbound. It survives a lost control connection untouched, so
// a daemon that reconnects finds the kernel as it left it. Thread-safe: every
// member takes the one mutex `mu_`, never across a blocking call.
#pragma once

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace zelvan {

// Where a new connection goes: the chain of names from the first group to
// the outbound that carries it (e.g. {"Proxy", "direct-1"}).
struct Route {
  std::vector<std::string> chain;
  bool reject = false;
  std::string rule;  // "Direct", "Global" or "Match"
};

class KernelState {
 public:
  void initCore(std::string homeDir, long long version);

  // Makes `config` the one in force. Mode and TUN come from the
  // configuration; selections carry over where the group and outbound still
  // exist, then `selectedMap` (group -> outbound) is applied on top.
  // Returns the names of selections that could not be applied.
  std::vector<std::string> applyConfig(KernelConfig config, const nlohmann::json& selectedMap);
  bool configured() const;
  std::vector<int64_t> ports() const;

  // Empty optional on success, else the error text.
  std::optional<std::string> changeProxy(const std::string& group, const std::string& proxy);
  // `patch` may hold "mode" (rule/global/direct, any case) and "tun" (an
  // object merged into the current setting); validated as a whole first.
  std::optional<std::string> updateConfig(const nlohmann::json& patch);

  Route route() const;

  // Outbounds a delay test measures: every proxy but REJECT when `name` is
  // empty, the proxies reachable from a group, or the named proxy. Nullopt
  // for an unknown name.
  std::optional<std::vector<std::string>> delayTargets(const std::string& name) const;
  void recordDelay(const std::string& proxy, long long ms);

  nlohmann::json proxiesJson() const;
  nlohmann::json configJson(const std::vector<int64_t>& listening) const;
  nlohmann::json providersJson() const;
  std::string mode() const;
  std::map<std::string, std::string> selections() const;

 private:
  std::string selectedLocked(const GroupDef& g) const;

  mutable std::mutex mu_;
  std::optional<KernelConfig> config_;
  std::string homeDir_;
  long long protocolVersion_ = 0;
  std::string mode_ = "rule";
  nlohmann::json tun_ = {{"enable", false}};
  std::map<std::string, std::string> selected_;
  std::map<std::string, long long> lastDelay_;
};

}  // namespace zelvan
