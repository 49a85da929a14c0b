// One connection to the daemon's control socket. The client's reader is the
// only thread that reads; any thread may send, and writeMu_ keeps each frame
// whole on the stream. Shared by pointer so that late senders (delayed
// replies, delay tests) hold a connection that may already have been
// replaced: their frames then fail quietly instead of reaching a new peer.
#pragma once

#include <mutex>
#include <string_view>

#include "unique_fd.h"

namespace zelvan {

class ControlConnection {
 public:
  explicit ControlConnection(UniqueFd fd) : fd_(std::move(fd)) {}
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  int fd() const { return fd_.get(); }
  // Writes `body`, JSON text, as one frame; false when the connection is gone.
  bool send(std::string_view body);
  // Ends the connection for both directions; later sends fail.
  void shutdown();

 private:
  std::mutex writeMu_;  // one whole frame at a time
  UniqueFd fd_;
};

}  // namespace zelvan
