// What the kernel takes from a configuration text: the listening ports (read
// exactly as the daemon reads them, so both agree on where the proxy is), the
// routing mode, the TUN setting, and the outbounds and groups that selections
// refer to. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvan {

inline constexpr int64_t kDefaultMixedPort = 7890;

struct ProxyDef {
  std::string name;
  std::string type;  // as written in the configuration; "Direct"/"Reject" for the built-ins
  bool rejects() const;
};

struct GroupDef {
  std::string name;
  std::string type;                  // "select", "url-test", ...
  std::vector<std::string> members;  // proxies and groups, never empty
};

struct KernelConfig {
  std::vector<int64_t> ports;  // distinct, in order; never empty
  std::string mode = "rule";   // lower case
  nlohmann::json tun = {{"enable", false}};
  std::vector<ProxyDef> proxies;       // DIRECT and REJECT first
  std::vector<GroupDef> groups;        // always holds "GLOBAL"
  std::vector<std::string> providers;  // names of proxy-providers, informational
  bool defaultOutbounds = false;       // the configuration named no proxies or groups
  size_t textBytes = 0;

  const ProxyDef* findProxy(std::string_view name) const;
  const GroupDef* findGroup(std::string_view name) const;
};

// The first "mixed-port: <digits>" at the start of a line (indented or not),
// as the regular expression (?m)^\s*mixed-port:\s*(\d+) finds it; nullopt when
// there is none or the number does not fit a signed 64-bit integer.
std::optional<int64_t> findMixedPort(std::string_view text);

KernelConfig parseConfig(std::string_view text);

// Accepted routing modes, lower case; nullopt for anything else.
std::optional<std::string> normaliseMode(std::string_view mode);

}  // namespace zelvan
