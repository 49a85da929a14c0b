// Everything the kernel reads from its environment: the log redaction flag,
// resource limits, and the fault switches that let tests drive the daemon's
// failure paths. Read once at start; immutable afterwards, so any thread may
// read it without a lock.
#pragma once

#include <optional>
#include <set>
#include <string>

namespace zelvan {

struct FailRule {
  std::string method;
  long long code = 1;
  std::string data;
};

struct Options {
  bool redactLog = false;  // ZELVAN_REDACT_LOG=1

  // Resource limits of the mixed listener.
  int maxConnections = 512;        // ZELVAN_MAX_CONNECTIONS
  int idleTimeoutMs = 300000;      // ZELVAN_IDLE_TIMEOUT_MS: a tunnel with no traffic either way
  int handshakeTimeoutMs = 10000;  // ZELVAN_HANDSHAKE_TIMEOUT_MS: request headers, upstream connect

  // Fault switches.
  bool ignoreSigterm = false;           // ZELVAN_IGNORE_SIGTERM=1
  bool silent = false;                  // ZELVAN_SILENT=1
  std::set<std::string> silentMethods;  // ZELVAN_SILENT_METHODS=a,b
  std::optional<FailRule> failMethod;   // ZELVAN_FAIL_METHOD=<method>:<code>:<data>
  int replyDelayMs = 0;                 // ZELVAN_REPLY_DELAY_MS
  std::optional<int> exitCode;          // ZELVAN_EXIT_CODE
  std::optional<int> exitAfterMs;       // ZELVAN_EXIT_AFTER_MS
  bool noConnect = false;               // ZELVAN_NO_CONNECT=1
  bool noReconnect = false;             // ZELVAN_NO_RECONNECT=1
  std::optional<int> versionExit;       // ZELVAN_VERSION_EXIT

  static Options fromEnvironment();

  // True when the reply to `method` must be withheld.
  bool silences(const std::string& method) const {
    return silent || silentMethods.count(method) > 0;
  }
};

}  // namespace zelvan
