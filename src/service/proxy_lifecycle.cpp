// The start, stop and reload requests, and the port parsing that keeps the
// status record's ports in step with the configuration the client sends.
#include <nlohmann/json.hpp>

#include "platform/dispatch.h"
#include "service/helper.h"

namespace zelvo {

namespace {

std::string describe(const std::exception& e) {
  if (const auto* err = dynamic_cast<const platform::Error*>(&e)) {
    return err->localizedDescription();
  }
  return e.what();
}

// The length the client's own string type reports: user-perceived characters.
// Counted as code points, with CR LF and combining marks folded into the
// character they belong to, which is what matters for configuration text.
size_t characterCount(const std::string& text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t len = 1;
    uint32_t cp = c;
    if (c >= 0xF0 && c < 0xF8) {
      len = 4;
      cp = c & 0x07;
    } else if (c >= 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xC0) {
      len = 2;
      cp = c & 0x1F;
    }
    if (i + len > text.size()) len = 1;
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    const bool combining = (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0xFE00 && cp <= 0xFE0F) ||
                           cp == 0x200D || (cp >= 0x1F3FB && cp <= 0x1F3FF);
    const bool lfAfterCr = c == '\n' && i > 0 && text[i - 1] == '\r';
    if (!(combining && count > 0) && !lfAfterCr) ++count;
    i += len;
  }
  return count;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The first match of (?m)^\s*mixed-port:\s*(\d+) in the text, as the matched
// digits; nothing when there is none. Written out by hand because the
// multi-line anchor is what decides the match, and it must behave the same
// with every standard library.
std::optional<std::string> findMixedPort(const std::string& text) {
  static const std::string key = "mixed-port:";
  for (size_t lineStart = 0; lineStart <= text.size();) {
    size_t p = lineStart;
    while (p < text.size() && isSpace(text[p])) ++p;
    if (text.compare(p, key.size(), key) == 0) {
      p += key.size();
      while (p < text.size() && isSpace(text[p])) ++p;
      size_t digitsEnd = p;
      while (digitsEnd < text.size() && isDigit(text[digitsEnd])) ++digitsEnd;
      if (digitsEnd > p) return text.substr(p, digitsEnd - p);
    }
    const size_t nl = text.find_first_of("\n\r", lineStart);
    if (nl == std::string::npos) break;
    lineStart = nl + 1;
  }
  return std::nullopt;
}

std::optional<int64_t> parseInt64(const std::string& digits) {
  int64_t value = 0;
  for (char c : digits) {
    const int d = c - '0';
    if (value > (INT64_MAX - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

std::optional<int64_t> jsonInteger(const nlohmann::json& v) {
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    return v.get<int64_t>();
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (d >= -9.2e18 && d <= 9.2e18 && static_cast<double>(static_cast<int64_t>(d)) == d) {
      return static_cast<int64_t>(d);
    }
  }
  return std::nullopt;
}

}  // namespace

void Helper::parsePortsFromConfig(const std::string& config) {
  if (const auto digits = findMixedPort(config)) {
    if (const auto port = parseInt64(*digits)) {
      cachedHttpPort_ = *port;
      cachedSocksPort_ = *port;
      log("Parsed mixed-port: " + std::to_string(*port));
      return;
    }
  }

  nlohmann::json root;
  try {
    root = nlohmann::json::parse(config);
  } catch (const std::exception&) {
    return;
  }
  if (!root.is_object()) return;
  const auto it = root.find("inbounds");
  if (it == root.end() || !it->is_array()) return;
  for (const auto& element : *it) {
    if (!element.is_object()) return;
  }
  for (const auto& element : *it) {
    const auto type = element.find("type");
    const auto portValue = element.find("listen_port");
    if (type == element.end() || !type->is_string() || portValue == element.end()) continue;
    const auto port = jsonInteger(*portValue);
    if (!port) continue;
    const auto& kind = type->get_ref<const std::string&>();
    if (kind == "http" || kind == "mixed") {
      cachedHttpPort_ = *port;
    } else if (kind == "socks") {
      cachedSocksPort_ = *port;
    }
  }
  log("Parsed ports: http=" + std::to_string(cachedHttpPort_.load()) +
      ", socks=" + std::to_string(cachedSocksPort_.load()));
}

void Helper::startProxy(const std::string& config, BoolErrorReply completion) {
  log("startProxy called with config length: " + std::to_string(characterCount(config)));
  parsePortsFromConfig(config);

  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, config, completion] {
    auto self = weakSelf.lock();
    if (!self) {
      completion(false, "Helper instance deallocated");
      return;
    }
    log("Starting 内核 process...");
    try {
      self->processManager()->start(config);
    } catch (const std::exception& e) {
      const std::string description = describe(e);
      platform::mainQueue().async([description, completion] {
        log("Failed to start proxy: " + description);
        completion(false, description);
      });
      return;
    }

    platform::sleepFor(platform::Seconds(1.0));
    if (!self->isKernelRunning()) {
      log("内核 process exited immediately");
      platform::mainQueue().async(
          [completion] { completion(false, std::string("内核 process exited immediately")); });
      return;
    }
    log("内核 process is running");
    if (self->isKernelRunning()) {
      platform::mainQueue().async([completion] {
        log("Proxy started successfully");
        completion(true, std::nullopt);
      });
    } else {
      platform::mainQueue().async([completion] {
        log("内核 process died after startup");
        completion(false, std::string("内核 process died after startup"));
      });
    }
  });
}

void Helper::stopProxy(BoolReply completion) {
  log("stopProxy called");
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, completion] {
    auto self = weakSelf.lock();
    if (!self) {
      completion(false);
      return;
    }
    try {
      self->processManager()->stop();
    } catch (const std::exception& e) {
      const std::string description = describe(e);
      platform::mainQueue().async([weakSelf, description, completion] {
        if (weakSelf.lock()) log("Failed to stop proxy: " + description);
        completion(false);
      });
      return;
    }
    platform::mainQueue().async([weakSelf, completion] {
      if (weakSelf.lock()) log("Proxy stopped successfully");
      completion(true);
    });
  });
}

void Helper::reloadProxy(const std::string& config, BoolErrorReply completion) {
  log("reloadProxy called");
  parsePortsFromConfig(config);
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, config, completion] {
    auto self = weakSelf.lock();
    if (!self) {
      completion(false, "Helper instance deallocated");
      return;
    }
    try {
      self->processManager()->reload(config);
    } catch (const std::exception& e) {
      const std::string description = describe(e);
      platform::mainQueue().async([weakSelf, description, completion] {
        if (weakSelf.lock()) log("Failed to reload proxy: " + description);
        completion(false, description);
      });
      return;
    }
    platform::mainQueue().async([weakSelf, completion] {
      if (weakSelf.lock()) log("Proxy reloaded successfully");
      completion(true, std::nullopt);
    });
  });
}

}  // namespace zelvo
