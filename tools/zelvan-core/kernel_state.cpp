#include "kernel_state.h"

#include <algorithm>
#include <set>

namespace zelvan {

using nlohmann::json;

namespace {

std::string apiGroupType(const std::string& t) {
  if (t == "select") return "Selector";
  if (t == "url-test") return "URLTest";
  if (t == "fallback") return "Fallback";
  if (t == "load-balance") return "LoadBalance";
  if (t == "relay") return "Relay";
  return t;
}

}  // namespace

void KernelState::initCore(std::string homeDir, long long version) {
  std::lock_guard lock(mu_);
  homeDir_ = std::move(homeDir);
  protocolVersion_ = version;
}

std::vector<std::string> KernelState::applyConfig(KernelConfig config, const json& selectedMap) {
  std::lock_guard lock(mu_);
  std::map<std::string, std::string> kept;
  auto valid = [&](const std::string& group, const std::string& proxy) {
    const GroupDef* g = config.findGroup(group);
    return g && std::find(g->members.begin(), g->members.end(), proxy) != g->members.end();
  };
  for (const auto& [group, proxy] : selected_) {
    if (valid(group, proxy)) kept[group] = proxy;
  }
  std::vector<std::string> rejected;
  if (selectedMap.is_object()) {
    for (const auto& [group, proxy] : selectedMap.items()) {
      if (proxy.is_string() && valid(group, proxy.get<std::string>())) {
        kept[group] = proxy.get<std::string>();
      } else {
        rejected.push_back(group);
      }
    }
  }
  selected_ = std::move(kept);
  mode_ = config.mode;
  tun_ = config.tun;
  config_ = std::move(config);
  return rejected;
}

bool KernelState::configured() const {
  std::lock_guard lock(mu_);
  return config_.has_value();
}

std::vector<int64_t> KernelState::ports() const {
  std::lock_guard lock(mu_);
  return config_ ? config_->ports : std::vector<int64_t>{};
}

std::optional<std::string> KernelState::changeProxy(const std::string& group,
                                                    const std::string& proxy) {
  std::lock_guard lock(mu_);
  if (!config_) return "no configuration loaded";
  const GroupDef* g = config_->findGroup(group);
  if (!g) return "proxy group not found: " + group;
  if (std::find(g->members.begin(), g->members.end(), proxy) == g->members.end()) {
    return "proxy " + proxy + " not found in group " + group;
  }
  selected_[group] = proxy;
  return std::nullopt;
}

std::optional<std::string> KernelState::updateConfig(const json& patch) {
  if (!patch.is_object()) return "updateConfig payload is not a JSON object";
  std::optional<std::string> mode;
  if (patch.contains("mode")) {
    if (!patch["mode"].is_string()) return "mode must be a string";
    mode = normaliseMode(patch["mode"].get<std::string>());
    if (!mode) return "unsupported mode: " + patch["mode"].get<std::string>();
  }
  if (patch.contains("tun") && !patch["tun"].is_object()) return "tun must be an object";
  std::lock_guard lock(mu_);
  if (mode) mode_ = *mode;
  if (patch.contains("tun")) {
    for (const auto& [k, v] : patch["tun"].items()) tun_[k] = v;
  }
  return std::nullopt;
}

std::string KernelState::selectedLocked(const GroupDef& g) const {
  auto it = selected_.find(g.name);
  return it != selected_.end() ? it->second : g.members.front();
}

Route KernelState::route() const {
  std::lock_guard lock(mu_);
  Route r;
  std::string start;
  if (mode_ == "direct" || !config_) {
    r.rule = "Direct";
    r.chain = {"DIRECT"};
    return r;
  }
  if (mode_ == "global") {
    r.rule = "Global";
    start = "GLOBAL";
  } else {
    // Rule mode knows one rule: everything matches the first group.
    r.rule = "Match";
    for (const auto& g : config_->groups) {
      if (g.name != "GLOBAL") {
        start = g.name;
        break;
      }
    }
    if (start.empty()) start = "DIRECT";
  }
  std::set<std::string> seen;
  std::string name = start;
  while (const GroupDef* g = config_->findGroup(name)) {
    if (!seen.insert(name).second) {
      name = "DIRECT";  // a selection cycle falls back to direct
      break;
    }
    r.chain.push_back(name);
    name = selectedLocked(*g);
  }
  r.chain.push_back(name);
  const ProxyDef* p = config_->findProxy(name);
  r.reject = p && p->rejects();
  return r;
}

std::optional<std::vector<std::string>> KernelState::delayTargets(const std::string& name) const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  if (!config_) {
    if (!name.empty() && name != "DIRECT") return std::nullopt;
    return std::vector<std::string>{"DIRECT"};
  }
  auto addProxy = [&](const ProxyDef& p) {
    if (!p.rejects() && std::find(out.begin(), out.end(), p.name) == out.end()) {
      out.push_back(p.name);
    }
  };
  if (name.empty()) {
    for (const auto& p : config_->proxies) addProxy(p);
    return out;
  }
  if (const ProxyDef* p = config_->findProxy(name)) {
    out.push_back(p->name);
    return out;
  }
  const GroupDef* g = config_->findGroup(name);
  if (!g) return std::nullopt;
  std::vector<const GroupDef*> todo{g};
  std::set<std::string> seen;
  while (!todo.empty()) {
    const GroupDef* cur = todo.back();
    todo.pop_back();
    if (!seen.insert(cur->name).second) continue;
    for (const auto& m : cur->members) {
      if (const ProxyDef* p = config_->findProxy(m)) {
        addProxy(*p);
      } else if (const GroupDef* sub = config_->findGroup(m)) {
        todo.push_back(sub);
      }
    }
  }
  return out;
}

void KernelState::recordDelay(const std::string& proxy, long long ms) {
  std::lock_guard lock(mu_);
  lastDelay_[proxy] = ms;
}

json KernelState::proxiesJson() const {
  std::lock_guard lock(mu_);
  json proxies = json::object();
  if (!config_) return {{"proxies", proxies}};
  for (const auto& p : config_->proxies) {
    json history = json::array();
    if (auto it = lastDelay_.find(p.name); it != lastDelay_.end()) {
      history.push_back({{"delay", it->second}});
    }
    proxies[p.name] = {{"name", p.name}, {"type", p.type}, {"udp", false}, {"history", history}};
  }
  for (const auto& g : config_->groups) {
    proxies[g.name] = {{"name", g.name},
                       {"type", apiGroupType(g.type)},
                       {"now", selectedLocked(g)},
                       {"all", g.members},
                       {"udp", false},
                       {"history", json::array()}};
  }
  return {{"proxies", proxies}};
}

json KernelState::configJson(const std::vector<int64_t>& listening) const {
  std::lock_guard lock(mu_);
  json cfg = {{"mode", mode_},
              {"tun", tun_},
              {"mixed-port", config_ ? config_->ports.front() : 0},
              {"ports", config_ ? config_->ports : std::vector<int64_t>{}},
              {"listening", listening},
              {"bind-address", "127.0.0.1"},
              {"allow-lan", false},
              {"home-dir", homeDir_},
              {"protocol-version", protocolVersion_}};
  return cfg;
}

json KernelState::providersJson() const {
  std::lock_guard lock(mu_);
  json providers = json::object();
  if (config_) {
    for (const auto& name : config_->providers) {
      providers[name] = {
          {"name", name}, {"type", "Proxy"}, {"vehicleType", "HTTP"}, {"proxies", json::array()}};
    }
  }
  return {{"providers", providers}};
}

std::string KernelState::mode() const {
  std::lock_guard lock(mu_);
  return mode_;
}

std::map<std::string, std::string> KernelState::selections() const {
  std::lock_guard lock(mu_);
  std::map<std::string, std::string> out;
  if (config_) {
    for (const auto& g : config_->groups) out[g.name] = selectedLocked(g);
  }
  return out;
}

}  // namespace zelvan
