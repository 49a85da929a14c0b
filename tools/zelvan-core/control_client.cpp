#include "control_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "frame.h"
#include "log.h"

namespace zelvan {

namespace {
constexpr auto kRetryInterval = std::chrono::milliseconds(150);
}

void parkForever() {
  for (;;) ::pause();
}

UniqueFd ControlClient::connectWithRetry() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path) {
    logError("control socket path too long (" + std::to_string(path_.size()) + " bytes)");
    ::_exit(2);
  }
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  bool reported = false;
  for (;;) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.valid() && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      return fd;
    }
    if (!reported) {
      logInfo(std::string("control: cannot connect yet (") + errnoText(errno) +
              "); retrying every 150 ms");
      reported = true;
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
}

void ControlClient::run() {
  for (bool first = true;; first = false) {
    UniqueFd fd = connectWithRetry();
    logInfo(first ? "control: connected to " + path_ : "control: reconnected to " + path_);
    auto conn = std::make_shared<ControlConnection>(std::move(fd));
    serve(conn);
    conn->shutdown();
    if (options_.noReconnect) {
      logInfo("fault: ZELVAN_NO_RECONNECT set; running on without control connection");
      parkForever();
    }
  }
}

void ControlClient::serve(const std::shared_ptr<ControlConnection>& conn) {
  FrameReader frames(conn->fd());
  std::string body;
  for (;;) {
    FrameStatus status = frames.next(body);
    if (status == FrameStatus::kClosed) {
      logInfo("control: connection lost (end of stream)");
      return;
    }
    if (status == FrameStatus::kBadLength) {
      logError("control: refused a frame length of 0 or 32 MiB and more; dropping the connection");
      return;
    }
    auto request = nlohmann::json::parse(body, nullptr, false);
    if (!request.is_object()) {
      logError("control: ignored a frame that is not a JSON object (" +
               std::to_string(body.size()) + " bytes)");
      continue;
    }
    const LogBatch lines;  // the request's lines in one write
    handler_(request, conn);
  }
}

}  // namespace zelvan
