#include "control_connection.h"

#include <sys/socket.h>

#include "frame.h"

namespace zelvan {

bool ControlConnection::send(const nlohmann::json& body) {
  // Replacement characters instead of an exception for invalid UTF-8.
  std::string frame =
      encodeFrame(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  std::lock_guard lock(writeMu_);
  return writeAll(fd_.get(), frame);
}

void ControlConnection::shutdown() {
  ::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace zelvan
