#include "mixed_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "log.h"
#include "net.h"

namespace zelvan {

std::optional<std::string> MixedListener::start(int64_t port) {
  std::string where = "127.0.0.1:" + std::to_string(port);
  if (port < 1 || port > 65535) return "invalid listening port " + std::to_string(port);
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::string("socket: ") + errnoText(errno);
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return "listen " + where + ": " + errnoText(errno);
  }
  if (::listen(fd.get(), SOMAXCONN) != 0) return "listen " + where + ": " + errnoText(errno);
  fd_ = std::move(fd);
  thread_ = std::thread([this] { acceptLoop(); });
  return std::nullopt;
}

void MixedListener::stop() {
  if (!thread_.joinable()) return;
  ::shutdown(fd_.get(), SHUT_RDWR);  // wakes the blocked accept
  thread_.join();
  fd_.reset();
}

void MixedListener::acceptLoop() {
  bool warnedFull = false;
  for (;;) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int c = ::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        logError(std::string("accept: ") + errnoText(errno) + "; pausing");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      return;  // shut down by stop()
    }
    UniqueFd client(c);
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string ip = ipText(peer);
    uint16_t port = portOf(peer);
    auto tunnel = ctx_.table.open(std::move(client), ip, port);
    if (!tunnel) {
      if (!warnedFull) {
        logError("connection limit of " + std::to_string(ctx_.options.maxConnections) +
                 " reached; refusing new connections");
      }
      warnedFull = true;
      continue;
    }
    warnedFull = false;
    try {
      std::thread([ctx = &ctx_, tunnel] { serveClient(*ctx, tunnel); }).detach();
    } catch (const std::system_error& e) {
      logError(std::string("cannot start connection thread: ") + e.what());
      ctx_.table.remove(tunnel->id());
    }
  }
}

}  // namespace zelvan
