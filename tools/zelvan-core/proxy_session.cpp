#include "proxy_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "frame.h"
#include "log.h"
#include "net.h"
#include "relay.h"

namespace zelvan {
namespace {

constexpr size_t kMaxHeaderBytes = 64 * 1024;

// Buffered reads from the client during the handshake, bounded by a deadline.
class HandshakeReader {
 public:
  HandshakeReader(int fd, int timeoutMs)
      : fd_(fd),
        deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}

  bool need(size_t n) {
    while (buf_.size() - off_ < n) {
      if (!fill()) return false;
    }
    return true;
  }
  unsigned char at(size_t i) const { return static_cast<unsigned char>(buf_[off_ + i]); }
  std::string take(size_t n) {
    std::string out = buf_.substr(off_, n);
    off_ += n;
    return out;
  }
  std::string rest() { return take(buf_.size() - off_); }

  // The request head up to and including the blank line.
  bool readHead(std::string& head) {
    size_t scanned = 0;
    for (;;) {
      size_t end = buf_.find("\r\n\r\n", off_ + (scanned > 3 ? scanned - 3 : 0));
      if (end != std::string::npos) {
        head = take(end + 4 - off_);
        return true;
      }
      scanned = buf_.size() - off_;
      if (scanned > kMaxHeaderBytes || !fill()) return false;
    }
  }

 private:
  bool fill() {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      char chunk[16 * 1024];
      ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(got));
      return true;
    }
  }

  int fd_;
  std::chrono::steady_clock::time_point deadline_;
  std::string buf_;
  size_t off_ = 0;
};

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void sendHttpStatus(int fd, const char* status) {
  std::string reply =
      std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  writeAll(fd, reply);
}

std::string describeChain(const Route& route) {
  if (redactLog()) return "";
  std::string out = " using ";
  for (size_t i = 0; i < route.chain.size(); ++i) out += (i ? "/" : "") + route.chain[i];
  return out;
}

// Connects the route's outbound; every outbound here is a direct one.
ConnectResult dial(ProxyContext& ctx, Tunnel& t, const Route& route, const std::string& type,
                   const HostPort& dest) {
  TunnelTarget target{type, dest.host, "", dest.port, route.chain, route.rule};
  t.setTarget(target);
  ConnectResult r = connectTcp(dest.host, dest.port, ctx.options.handshakeTimeoutMs, t.clientFd());
  if (r.fd.valid()) {
    target.destinationIp = r.peerIp;
    t.setTarget(std::move(target));
  }
  return r;
}

void logOpen(const std::string& source, const HostPort& dest, const Route& route) {
  logInfo("[TCP] " + source + " --> " + dest.host + ":" + std::to_string(dest.port) +
          describeChain(route));
}

// Sends bytes the client already sent past its handshake; they count as upload.
bool forwardEarlyBytes(ProxyContext& ctx, Tunnel& t, const std::string& early) {
  if (early.empty()) return true;
  if (!writeAll(t.upstreamFd(), early)) return false;
  t.up.fetch_add(static_cast<int64_t>(early.size()));
  ctx.traffic.addUp(static_cast<int64_t>(early.size()));
  return true;
}

void runRelay(ProxyContext& ctx, Tunnel& t, const std::string& source) {
  RelayEnd end = relay(t, ctx.traffic, ctx.options.idleTimeoutMs);
  if (end == RelayEnd::kIdle) logInfo("[TCP] " + source + " closed after idle time-out");
}

unsigned char socksCode(ConnectError e) {
  switch (e) {
    case ConnectError::kRefused:
      return 0x05;
    case ConnectError::kUnreachable:
      return 0x03;
    case ConnectError::kResolve:
    case ConnectError::kTimeout:
      return 0x04;
    default:
      return 0x01;
  }
}

void socksReply(int fd, unsigned char code, const sockaddr_storage* bound) {
  std::string r = {0x05, static_cast<char>(code), 0x00};
  if (bound && bound->ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(*bound);
    r += '\x04';
    r.append(reinterpret_cast<const char*>(&a.sin6_addr), 16);
    r.append(reinterpret_cast<const char*>(&a.sin6_port), 2);
  } else if (bound && bound->ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(*bound);
    r += '\x01';
    r.append(reinterpret_cast<const char*>(&a.sin_addr), 4);
    r.append(reinterpret_cast<const char*>(&a.sin_port), 2);
  } else {
    r.append("\x01\0\0\0\0\0\0", 7);
  }
  writeAll(fd, r);
}

void serveSocks5(ProxyContext& ctx, Tunnel& t, HandshakeReader& in, const std::string& source) {
  int fd = t.clientFd();
  if (!in.need(2)) return;
  size_t nMethods = in.at(1);
  if (!in.need(2 + nMethods)) return;
  std::string greeting = in.take(2 + nMethods);
  if (greeting.find('\0', 2) == std::string::npos) {
    writeAll(fd, std::string("\x05\xFF", 2));  // only "no authentication" is offered
    return;
  }
  writeAll(fd, std::string("\x05\x00", 2));

  if (!in.need(4)) return;
  if (in.at(0) != 0x05) return;
  unsigned char cmd = in.at(1), atyp = in.at(3);
  HostPort dest;
  size_t addrLen = 0;
  if (atyp == 0x01) {
    addrLen = 4;
  } else if (atyp == 0x04) {
    addrLen = 16;
  } else if (atyp == 0x03) {
    if (!in.need(5)) return;
    addrLen = 1 + in.at(4);
  } else {
    in.rest();
    socksReply(fd, 0x08, nullptr);
    return;
  }
  if (!in.need(4 + addrLen + 2)) return;
  std::string req = in.take(4 + addrLen + 2);
  const char* addr = req.data() + 4;
  if (atyp == 0x01 || atyp == 0x04) {
    char text[INET6_ADDRSTRLEN] = {0};
    ::inet_ntop(atyp == 0x01 ? AF_INET : AF_INET6, addr, text, sizeof text);
    dest.host = text;
  } else {
    dest.host.assign(addr + 1, addrLen - 1);
  }
  dest.port = static_cast<uint16_t>(static_cast<unsigned char>(req[4 + addrLen]) << 8 |
                                    static_cast<unsigned char>(req[4 + addrLen + 1]));
  if (cmd != 0x01) {
    socksReply(fd, 0x07, nullptr);  // CONNECT only
    return;
  }
  if (dest.host.empty() || dest.port == 0) {
    socksReply(fd, 0x01, nullptr);
    return;
  }
  Route route = ctx.state.route();
  logOpen(source, dest, route);
  if (route.reject) {
    socksReply(fd, 0x02, nullptr);
    return;
  }
  ConnectResult up = dial(ctx, t, route, "Socks5", dest);
  if (!up.fd.valid()) {
    logError("[TCP] dial " + dest.host + ":" + std::to_string(dest.port) +
             " failed: " + up.message);
    socksReply(fd, socksCode(up.error), nullptr);
    return;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(up.fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
  t.attachUpstream(std::move(up.fd));
  socksReply(fd, 0x00, &bound);
  if (!forwardEarlyBytes(ctx, t, in.rest())) return;
  runRelay(ctx, t, source);
}

void serveHttp(ProxyContext& ctx, Tunnel& t, HandshakeReader& in, const std::string& source) {
  int fd = t.clientFd();
  std::string head;
  if (!in.readHead(head)) {
    sendHttpStatus(fd, "400 Bad Request");
    return;
  }
  size_t lineEnd = head.find("\r\n");
  std::string_view line(head.data(), lineEnd);
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) {
    sendHttpStatus(fd, "400 Bad Request");
    return;
  }
  std::string method(line.substr(0, sp1));
  std::string target(line.substr(sp1 + 1, sp2 - sp1 - 1));
  std::string version(line.substr(sp2 + 1));

  bool tunnel = equalsNoCase(method, "CONNECT");
  std::optional<HostPort> dest;
  std::string path = "/";
  std::string authority;
  if (tunnel) {
    dest = parseAuthority(target, 0);
  } else if (target.size() > 7 && equalsNoCase(std::string_view(target).substr(0, 7), "http://")) {
    size_t pathStart = target.find_first_of("/?#", 7);
    authority =
        target.substr(7, pathStart == std::string::npos ? std::string::npos : pathStart - 7);
    if (pathStart != std::string::npos) path = target.substr(pathStart);
    if (!path.empty() && path[0] != '/') path = "/" + path;
    if (auto hash = path.find('#'); hash != std::string::npos) path.resize(hash);
    dest = parseAuthority(authority, 80);
  }
  if (!dest) {
    sendHttpStatus(fd, "400 Bad Request");  // origin-form requests are not for a proxy
    return;
  }
  Route route = ctx.state.route();
  logOpen(source, *dest, route);
  if (route.reject) {
    sendHttpStatus(fd, "403 Forbidden");
    return;
  }
  ConnectResult up = dial(ctx, t, route, tunnel ? "HTTP Connect" : "HTTP", *dest);
  if (!up.fd.valid()) {
    logError("[TCP] dial " + dest->host + ":" + std::to_string(dest->port) +
             " failed: " + up.message);
    sendHttpStatus(fd, "502 Bad Gateway");
    return;
  }
  t.attachUpstream(std::move(up.fd));

  std::string early;
  if (tunnel) {
    if (!writeAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n")) return;
  } else {
    // Origin-form request line; hop-by-hop and proxy headers dropped; the
    // upstream closes after one response, so every request gets its own
    // connection and the raw relay below stays correct.
    early = method + " " + path + " " + version + "\r\n";
    bool hasHost = false;
    size_t pos = lineEnd + 2;
    while (pos < head.size()) {
      size_t end = head.find("\r\n", pos);
      if (end == pos || end == std::string::npos) break;
      std::string_view header(head.data() + pos, end - pos);
      pos = end + 2;
      std::string_view name = header.substr(0, header.find(':'));
      if (equalsNoCase(name, "Proxy-Connection") || equalsNoCase(name, "Proxy-Authorization") ||
          equalsNoCase(name, "Connection") || equalsNoCase(name, "Keep-Alive")) {
        continue;
      }
      if (equalsNoCase(name, "Host")) hasHost = true;
      early.append(header);
      early += "\r\n";
    }
    if (!hasHost) early += "Host: " + authority + "\r\n";
    early += "Connection: close\r\n\r\n";
  }
  early += in.rest();
  if (!forwardEarlyBytes(ctx, t, early)) return;
  runRelay(ctx, t, source);
}

}  // namespace

void serveClient(ProxyContext& ctx, const std::shared_ptr<Tunnel>& tunnel) {
  Tunnel& t = *tunnel;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  ::getpeername(t.clientFd(), reinterpret_cast<sockaddr*>(&peer), &len);
  std::string source = ipText(peer) + ":" + std::to_string(portOf(peer));
  HandshakeReader in(t.clientFd(), ctx.options.handshakeTimeoutMs);
  if (in.need(1)) {
    if (in.at(0) == 0x05) {
      serveSocks5(ctx, t, in, source);
    } else {
      serveHttp(ctx, t, in, source);
    }
  }
  ctx.table.remove(t.id());
}

}  // namespace zelvan
