// Pieces shared by the service integration tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "platform/ipc_frame.h"
#include "support/command.h"
#include "support/daemon_process.h"
#include "support/sandbox_root.h"

namespace zelvo::testing {

// A raw connection to the daemon's socket, speaking frames by hand.
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

// Matches a Helper log line and captures its timestamp and message.
inline bool parseHelperLine(const std::string& line, std::string* timestamp, std::string* message) {
  static const std::regex re(R"(^\[Helper\] (\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}): (.*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, re)) return false;
  *timestamp = m[1];
  *message = m[2];
  return true;
}

// Seconds between a "yyyy-MM-dd HH:mm:ss" local timestamp and now.
inline double secondsFromNow(const std::string& timestamp) {
  std::tm tm{};
  strptime(timestamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  tm.tm_isdst = -1;
  return std::difftime(std::time(nullptr), std::mktime(&tm));
}

}  // namespace zelvo::testing
