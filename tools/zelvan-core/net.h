// Small socket helpers shared by the listener, the tunnels and the delay
// test. Stateless; thread-safe.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace zelvan {

enum class ConnectError { kNone, kResolve, kRefused, kUnreachable, kTimeout, kAborted, kOther };

struct ConnectResult {
  UniqueFd fd;  // connected, blocking mode restored; invalid on failure
  ConnectError error = ConnectError::kNone;
  std::string message;  // why it failed
  std::string peerIp;   // the address actually connected
};

// Resolves `host` (name or literal, IPv4 or IPv6) and connects to the first
// address that accepts within `timeoutMs` per attempt. When `abortFd` is not
// -1, a hang-up on it (the client gave up, or the connection was closed by
// closeConnections) abandons the attempt.
ConnectResult connectTcp(const std::string& host, uint16_t port, int timeoutMs, int abortFd = -1);

bool setNonBlocking(int fd, bool on);

struct HostPort {
  std::string host;  // name or literal; IPv6 without brackets
  uint16_t port = 0;
};

// "host:port", "[v6]:port" or "host" (then `defaultPort`, if not 0). Nullopt
// for an empty host or a port that is missing or out of range.
std::optional<HostPort> parseAuthority(std::string_view authority, uint16_t defaultPort);

// A URL's host and port: "http://h[:p]/...", "https://h[:p]/..." (default
// ports 80 and 443) or a bare authority "h:p". Userinfo is ignored.
std::optional<HostPort> parseUrlAddress(std::string_view url);

// "1.2.3.4" / "::1" and the port of a socket address.
std::string ipText(const sockaddr_storage& addr);
uint16_t portOf(const sockaddr_storage& addr);

}  // namespace zelvan
