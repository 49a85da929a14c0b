#include "config.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "yaml_subset.h"

namespace zelvan {
namespace {

using nlohmann::json;

bool regexSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Names may be written as numbers in YAML; anything else is no name.
std::optional<std::string> nameOf(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return v.dump();
  return std::nullopt;
}

std::string stringOr(const json& obj, const char* key, std::string fallback) {
  if (obj.is_object() && obj.contains(key) && obj[key].is_string()) {
    return obj[key].get<std::string>();
  }
  return fallback;
}

// The same two forms the daemon reads its cached ports from: the YAML key
// first; failing that, the JSON "inbounds" array.
std::vector<int64_t> listeningPorts(std::string_view text) {
  if (auto p = findMixedPort(text)) return {*p};
  std::optional<int64_t> http, socks;
  json doc = json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_object() && doc.contains("inbounds") && doc["inbounds"].is_array()) {
    const json& in = doc["inbounds"];
    bool allObjects =
        std::all_of(in.begin(), in.end(), [](const json& e) { return e.is_object(); });
    if (allObjects) {
      for (const json& e : in) {
        if (!e.contains("type") || !e["type"].is_string()) continue;
        if (!e.contains("listen_port") || !e["listen_port"].is_number_integer()) continue;
        std::string type = e["type"].get<std::string>();
        int64_t port = e["listen_port"].get<int64_t>();
        if (type == "http" || type == "mixed") http = port;
        if (type == "socks") socks = port;
      }
    }
  }
  std::vector<int64_t> ports;
  if (http) ports.push_back(*http);
  if (socks && (!http || *socks != *http)) ports.push_back(*socks);
  if (ports.empty()) ports.push_back(kDefaultMixedPort);
  return ports;
}

std::string groupTypeFromSingBox(const std::string& t) {
  if (t == "selector") return "select";
  if (t == "urltest") return "url-test";
  return t;
}

}  // namespace

bool ProxyDef::rejects() const {
  std::string t = lower(type);
  return t == "reject" || t == "block";
}

const ProxyDef* KernelConfig::findProxy(std::string_view name) const {
  for (const auto& p : proxies) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const GroupDef* KernelConfig::findGroup(std::string_view name) const {
  for (const auto& g : groups) {
    if (g.name == name) return &g;
  }
  return nullptr;
}

std::optional<int64_t> findMixedPort(std::string_view text) {
  static constexpr std::string_view kKey = "mixed-port:";
  for (size_t lineStart = 0; lineStart <= text.size();) {
    size_t i = lineStart;
    while (i < text.size() && regexSpace(text[i])) ++i;
    if (text.substr(i, kKey.size()) == kKey) {
      i += kKey.size();
      while (i < text.size() && regexSpace(text[i])) ++i;
      size_t digits = i;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
      if (i > digits) {
        // First match decides; a number that overflows means "no port here".
        int64_t v = 0;
        for (size_t k = digits; k < i; ++k) {
          int d = text[k] - '0';
          if (v > (INT64_MAX - d) / 10) return std::nullopt;
          v = v * 10 + d;
        }
        return v;
      }
    }
    size_t nl = text.find_first_of("\n\r", lineStart);
    if (nl == std::string_view::npos) break;
    lineStart = nl + 1;
  }
  return std::nullopt;
}

std::optional<std::string> normaliseMode(std::string_view mode) {
  std::string m = lower(mode);
  if (m == "rule" || m == "global" || m == "direct") return m;
  return std::nullopt;
}

KernelConfig parseConfig(std::string_view text) {
  KernelConfig cfg;
  cfg.textBytes = text.size();
  cfg.ports = listeningPorts(text);

  json doc = json::parse(text.begin(), text.end(), nullptr, false);
  if (!doc.is_object()) doc = parseYamlSubset(text);
  if (!doc.is_object()) doc = json::object();

  if (doc.contains("mode") && doc["mode"].is_string()) {
    if (auto m = normaliseMode(doc["mode"].get<std::string>())) cfg.mode = *m;
  }
  if (doc.contains("tun") && doc["tun"].is_object()) {
    cfg.tun = doc["tun"];
    if (!cfg.tun.contains("enable") || !cfg.tun["enable"].is_boolean()) cfg.tun["enable"] = false;
  }

  cfg.proxies.push_back({"DIRECT", "Direct"});
  cfg.proxies.push_back({"REJECT", "Reject"});
  std::set<std::string> taken = {"DIRECT", "REJECT", "GLOBAL"};
  std::vector<GroupDef> groups;
  bool globalGiven = false;

  auto addProxy = [&](const std::string& name, const std::string& type) {
    if (name.empty() || !taken.insert(name).second) return;
    cfg.proxies.push_back({name, type});
  };
  auto addGroup = [&](const std::string& name, const std::string& type, const json& members) {
    if (name.empty()) return;
    if (name == "GLOBAL") {
      if (globalGiven) return;
      globalGiven = true;
    } else if (!taken.insert(name).second) {
      return;
    }
    GroupDef g{name, type, {}};
    if (members.is_array()) {
      for (const json& m : members) {
        if (auto n = nameOf(m)) g.members.push_back(*n);
      }
    }
    groups.push_back(std::move(g));
  };

  if (doc.contains("proxies") && doc["proxies"].is_array()) {
    for (const json& p : doc["proxies"]) {
      if (p.is_object() && p.contains("name")) {
        if (auto n = nameOf(p["name"])) addProxy(*n, stringOr(p, "type", ""));
      }
    }
  }
  if (doc.contains("proxy-groups") && doc["proxy-groups"].is_array()) {
    for (const json& g : doc["proxy-groups"]) {
      if (g.is_object() && g.contains("name")) {
        if (auto n = nameOf(g["name"])) {
          addGroup(*n, stringOr(g, "type", "select"), g.value("proxies", json()));
        }
      }
    }
  }
  // sing-box style: "outbounds" with "tag"; selectors and url tests are groups.
  if (doc.contains("outbounds") && doc["outbounds"].is_array()) {
    for (const json& o : doc["outbounds"]) {
      if (!o.is_object() || !o.contains("tag")) continue;
      auto tag = nameOf(o["tag"]);
      if (!tag) continue;
      std::string type = stringOr(o, "type", "");
      if (type == "selector" || type == "urltest") {
        addGroup(*tag, groupTypeFromSingBox(type), o.value("outbounds", json()));
      } else {
        addProxy(*tag, type);
      }
    }
  }
  if (doc.contains("proxy-providers") && doc["proxy-providers"].is_object()) {
    for (const auto& [name, _] : doc["proxy-providers"].items()) cfg.providers.push_back(name);
  }

  if (cfg.proxies.size() == 2 && groups.empty()) {
    // Nothing to select from: offer two named direct outbounds and a group, so
    // that selections and delay tests have something real to work on.
    cfg.defaultOutbounds = true;
    cfg.proxies.push_back({"direct-1", "direct"});
    cfg.proxies.push_back({"direct-2", "direct"});
    groups.push_back({"Proxy", "select", {"direct-1", "direct-2", "DIRECT"}});
  }

  std::set<std::string> known;
  for (const auto& p : cfg.proxies) known.insert(p.name);
  for (const auto& g : groups) known.insert(g.name);
  for (auto& g : groups) {
    std::vector<std::string> kept;
    for (auto& m : g.members) {
      if (known.count(m) && m != g.name && std::find(kept.begin(), kept.end(), m) == kept.end()) {
        kept.push_back(m);
      }
    }
    if (kept.empty()) kept.push_back("DIRECT");
    g.members = std::move(kept);
  }
  if (!globalGiven) {
    GroupDef global{"GLOBAL", "select", {"DIRECT", "REJECT"}};
    for (const auto& g : groups) global.members.push_back(g.name);
    for (const auto& p : cfg.proxies) {
      if (p.name != "DIRECT" && p.name != "REJECT") global.members.push_back(p.name);
    }
    groups.push_back(std::move(global));
  }
  cfg.groups = std::move(groups);
  return cfg;
}

}  // namespace zelvan
