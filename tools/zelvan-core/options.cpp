#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace zelvan {
namespace {

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

bool flag(const char* name) {
  const char* v = env(name);
  return v && std::string_view(v) == "1";
}

std::optional<long long> number(const char* text) {
  if (!text) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return std::nullopt;
  return n;
}

std::optional<int> intFrom(const char* name, long long lo, long long hi) {
  auto n = number(env(name));
  if (!n || *n < lo || *n > hi) return std::nullopt;
  return static_cast<int>(*n);
}

}  // namespace

Options Options::fromEnvironment() {
  Options o;
  o.redactLog = flag("ZELVAN_REDACT_LOG");
  if (auto n = intFrom("ZELVAN_MAX_CONNECTIONS", 1, 100000)) o.maxConnections = *n;
  if (auto n = intFrom("ZELVAN_IDLE_TIMEOUT_MS", 1, 86400000)) o.idleTimeoutMs = *n;
  if (auto n = intFrom("ZELVAN_HANDSHAKE_TIMEOUT_MS", 1, 3600000)) o.handshakeTimeoutMs = *n;

  o.ignoreSigterm = flag("ZELVAN_IGNORE_SIGTERM");
  o.silent = flag("ZELVAN_SILENT");
  if (const char* list = env("ZELVAN_SILENT_METHODS")) {
    std::string_view rest(list);
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string_view item = rest.substr(0, comma);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
      if (!item.empty()) o.silentMethods.emplace(item);
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  if (const char* rule = env("ZELVAN_FAIL_METHOD")) {
    // <method>:<code>:<data>; the data is everything after the second colon
    // and may itself contain colons. A missing code means 1.
    std::string_view r(rule);
    FailRule f;
    size_t c1 = r.find(':');
    f.method = std::string(r.substr(0, c1));
    if (c1 != std::string_view::npos) {
      std::string_view afterMethod = r.substr(c1 + 1);
      size_t c2 = afterMethod.find(':');
      std::string codeText(afterMethod.substr(0, c2));
      if (auto n = number(codeText.c_str())) f.code = *n;
      if (c2 != std::string_view::npos) f.data = std::string(afterMethod.substr(c2 + 1));
    }
    if (!f.method.empty()) o.failMethod = f;
  }
  if (auto n = intFrom("ZELVAN_REPLY_DELAY_MS", 0, 3600000)) o.replyDelayMs = *n;
  o.exitCode = intFrom("ZELVAN_EXIT_CODE", 0, 255);
  o.exitAfterMs = intFrom("ZELVAN_EXIT_AFTER_MS", 0, 86400000);
  o.noConnect = flag("ZELVAN_NO_CONNECT");
  o.noReconnect = flag("ZELVAN_NO_RECONNECT");
  o.versionExit = intFrom("ZELVAN_VERSION_EXIT", 0, 255);
  return o;
}

}  // namespace zelvan
