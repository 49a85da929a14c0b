// Fuzzes the control-socket frame reader with whatever a broken or hostile
// kernel could write: the bytes go through a real socket pair.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"
#include "platform/log.h"

using namespace zelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto manager = [] {
    platform::setLogToStderr(false);
    return std::make_shared<KernelProcessManager>();
  }();
  if (size > 64 * 1024) return 0;  // stays within one socket buffer

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  int sndbuf = 256 * 1024;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fds[1], data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);

  manager->setControlFdForTesting(fds[0]);
  for (int frames = 0; frames < 1000; ++frames) {
    const auto frame = manager->recvFrame();
    if (!frame) break;
    if (!frame->is_object()) __builtin_trap();  // only objects may come out
    manager->collectPushedDelay(*frame);
    (void)control::compactJson(*frame);  // as a reply's data is logged or handed on
  }
  manager->setControlFdForTesting(-1);
  ::close(fds[0]);
  ::close(fds[1]);
  return 0;
}
