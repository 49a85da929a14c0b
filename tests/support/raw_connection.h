// A raw connection to the daemon's IPC socket that speaks frames by hand, and
// builders for frames a well-behaved client would never send. Used by the
// tests that feed the daemon bad input.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipc_frame.h"

namespace zelvo::testing {

class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool sendBytes(const std::vector<uint8_t>& b) {
    return platform::writeAll(fd_, b.data(), b.size()) == 0;
  }
  bool request(uint64_t seq, const std::string& sel, platform::IpcValue args) {
    platform::IpcValue m = platform::IpcValue::object();
    m["seq"] = seq;
    m["sel"] = sel;
    m["args"] = std::move(args);
    return sendBytes(platform::encodeFrame(m));
  }
  std::optional<platform::IpcValue> next(
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, int(timeout.count())) <= 0) return std::nullopt;
    int err = 0;
    auto body = platform::readFrame(fd_, &err);
    if (!body) return std::nullopt;
    return platform::decodeBody(*body);
  }
  bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
      if (n < 0) return false;
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// A little-endian 32-bit length header.
inline std::vector<uint8_t> le32(uint32_t n) {
  return {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
}

// `body` behind a header holding its true length, whatever the body is.
inline std::vector<uint8_t> rawFrame(const std::vector<uint8_t>& body) {
  auto f = le32(uint32_t(body.size()));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

// A request frame with members of any type, fitting the protocol or not.
inline std::vector<uint8_t> requestFrame(platform::IpcValue seq, platform::IpcValue sel,
                                         platform::IpcValue args) {
  platform::IpcValue m = platform::IpcValue::object();
  m["seq"] = std::move(seq);
  m["sel"] = std::move(sel);
  m["args"] = std::move(args);
  return platform::encodeFrame(m);
}

}  // namespace zelvo::testing
