#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "log.h"

namespace zelvan {

bool setNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

std::string ipText(const sockaddr_storage& addr) {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (addr.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, buf, sizeof buf);
  } else if (addr.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, buf, sizeof buf);
  }
  return buf;
}

uint16_t portOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  }
  return 0;
}

std::optional<HostPort> parseAuthority(std::string_view a, uint16_t defaultPort) {
  if (auto at = a.rfind('@'); at != std::string_view::npos) a.remove_prefix(at + 1);
  HostPort hp;
  std::string_view portText;
  if (!a.empty() && a.front() == '[') {
    size_t close = a.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    hp.host = std::string(a.substr(1, close - 1));
    std::string_view rest = a.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      portText = rest.substr(1);
    }
  } else {
    size_t colon = a.rfind(':');
    if (colon != std::string_view::npos && a.find(':') == colon) {
      hp.host = std::string(a.substr(0, colon));
      portText = a.substr(colon + 1);
    } else {
      hp.host = std::string(a);  // no port, or a bare IPv6 literal
    }
  }
  if (hp.host.empty()) return std::nullopt;
  if (portText.empty()) {
    if (defaultPort == 0) return std::nullopt;
    hp.port = defaultPort;
    return hp;
  }
  unsigned long port = 0;
  for (char c : portText) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned long>(c - '0');
    if (port > 65535) return std::nullopt;
  }
  if (port == 0) return std::nullopt;
  hp.port = static_cast<uint16_t>(port);
  return hp;
}

std::optional<HostPort> parseUrlAddress(std::string_view url) {
  uint16_t defaultPort = 0;
  auto startsWithNoCase = [&](std::string_view prefix) {
    if (url.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
    }
    return true;
  };
  if (startsWithNoCase("http://")) {
    defaultPort = 80;
    url.remove_prefix(7);
  } else if (startsWithNoCase("https://")) {
    defaultPort = 443;
    url.remove_prefix(8);
  } else if (url.find("://") != std::string_view::npos) {
    return std::nullopt;
  }
  url = url.substr(0, url.find_first_of("/?#"));
  return parseAuthority(url, defaultPort);
}

namespace {

ConnectError classify(int err) {
  switch (err) {
    case ECONNREFUSED:
      return ConnectError::kRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
      return ConnectError::kUnreachable;
    case ETIMEDOUT:
      return ConnectError::kTimeout;
    default:
      return ConnectError::kOther;
  }
}

}  // namespace

ConnectResult connectTcp(const std::string& host, uint16_t port, int timeoutMs, int abortFd) {
  ConnectResult r;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    r.error = ConnectError::kResolve;
    r.message = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return r;
  }
  r.error = ConnectError::kOther;
  r.message = "no address for " + host;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!fd.valid()) {
      r.message = std::string("socket: ") + errnoText(errno);
      continue;
    }
    int err = 0;
    if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        err = errno;
      } else {
        pollfd fds[2] = {{fd.get(), POLLOUT, 0}, {abortFd, 0, 0}};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
          auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
              deadline - std::chrono::steady_clock::now());
          if (left.count() <= 0) {
            err = ETIMEDOUT;
            break;
          }
          int n = ::poll(fds, abortFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) {
            err = errno;
            break;
          }
          if (abortFd >= 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            ::freeaddrinfo(list);
            r.error = ConnectError::kAborted;
            r.message = "client went away";
            return r;
          }
          if (fds[0].revents) {
            socklen_t len = sizeof err;
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            break;
          }
        }
      }
    }
    if (err != 0) {
      r.error = classify(err);
      r.message = "connect " + host + ":" + service + ": " + errnoText(err);
      continue;
    }
    setNonBlocking(fd.get(), false);
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_storage peer{};
    std::memcpy(&peer, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof peer));
    r.peerIp = ipText(peer);
    r.fd = std::move(fd);
    r.error = ConnectError::kNone;
    r.message.clear();
    break;
  }
  ::freeaddrinfo(list);
  return r;
}

}  // namespace zelvan
