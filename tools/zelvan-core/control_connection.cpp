#include "control_connection.h"

#include <sys/socket.h>

#include "frame.h"

namespace zelvan {

bool ControlConnection::send(std::string_view body) {
  const std::string frame = encodeFrame(body);
  std::lock_guard lock(writeMu_);
  return writeAll(fd_.get(), frame);
}

void ControlConnection::shutdown() {
  ::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace zelvan
