// Fuzzes the control-socket frame readers with whatever a broken or hostile
// kernel could write: the bytes go through a real socket pair, and in pieces
// through a pipe.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control/frame.h"
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
  std::vector<Json> exact;
  for (int frames = 0; frames < 1000; ++frames) {
    auto frame = manager->recvFrame();
    if (!frame) break;
    if (!frame->is_object()) __builtin_trap();  // only objects may come out
    manager->collectPushedDelay(*frame);
    (void)control::compactJson(*frame);  // as a reply's data is logged or handed on
    exact.push_back(std::move(*frame));
  }
  manager->setControlFdForTesting(-1);
  ::close(fds[0]);
  ::close(fds[1]);

  // The readers of a running connection take the same bytes as they come, in
  // pieces of any size (taken from the input), and must find the same frames.
  int pipeFds[2];
  if (size == 0 || exact.size() == 1000 || ::pipe(pipeFds) != 0) return 0;
  control::FrameReader reader(pipeFds[0]);
  std::vector<Json> incremental;
  size_t at = 0;
  for (size_t piece = 0;;) {
    std::optional<Json> frame;
    const auto taken = reader.take(frame);
    if (taken == control::FrameReader::Taken::Frame) {
      incremental.push_back(std::move(*frame));
      continue;
    }
    if (taken == control::FrameReader::Taken::End) break;
    if (at == size && pipeFds[1] >= 0) {
      ::close(pipeFds[1]);  // the rest is the end of the stream
      pipeFds[1] = -1;
    } else if (at < size) {
      const size_t n = std::min<size_t>(size - at, 1 + data[piece++ % size] * 7);
      if (::write(pipeFds[1], data + at, n) != static_cast<ssize_t>(n)) __builtin_trap();
      at += n;
    }
    if (!reader.receive()) break;
  }
  if (incremental != exact) __builtin_trap();
  ::close(pipeFds[0]);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  return 0;
}
