// Frames on the control socket: a 4-byte little-endian body length, then one
// compact JSON object. Both directions use the same format.
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"

namespace zelvo {

namespace {

// Lengths from this value up are refused: 32 MiB is far above any real
// configuration, and the bound keeps a corrupt header from committing memory.
constexpr uint32_t kMaxBodyBytes = 0x02000000;

void encodeLength(uint32_t n, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(n);
  out[1] = static_cast<unsigned char>(n >> 8);
  out[2] = static_cast<unsigned char>(n >> 16);
  out[3] = static_cast<unsigned char>(n >> 24);
}

uint32_t decodeLength(const unsigned char in[4]) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Writes the header and body, gathering both in each call so that the body is
// never copied behind the header. A call that writes nothing or fails ends the
// attempt: a frame cut short cannot be resumed meaningfully, and retrying a
// dead connection would only delay the caller. MSG_NOSIGNAL: a kernel that
// went away must not raise SIGPIPE in the daemon.
bool writeAll(int fd, const unsigned char* header, const std::string& body) {
  iovec parts[2] = {{const_cast<unsigned char*>(header), 4},
                    {const_cast<char*>(body.data()), body.size()}};
  iovec* next = parts;
  int count = 2;
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = next;
    msg.msg_iovlen = count;
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::writev(fd, next, count);  // a pipe in place of a socket
    if (n <= 0) return false;
    auto done = static_cast<size_t>(n);
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

// Reads exactly `size` bytes; false at end of stream or on an error.
bool readExact(int fd, char* out, size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool KernelProcessManager::writeFrame(const std::string& id, const std::string& method,
                                      const Json& data) {
  std::string body;
  try {
    body = control::compactJson(Json{{"id", id}, {"method", method}, {"data", data}});
  } catch (...) {
    return false;
  }
  if (body.size() > UINT32_MAX) return false;
  unsigned char header[4];
  encodeLength(static_cast<uint32_t>(body.size()), header);

  std::lock_guard<std::mutex> g(writeLock);
  const int fd = controlFd_.load();
  if (fd < 0) return false;
  return writeAll(fd, header, body);
}

std::optional<Json> KernelProcessManager::readFrame(int fd) {
  if (fd < 0) return std::nullopt;
  unsigned char header[4];
  if (!readExact(fd, reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
  const uint32_t length = decodeLength(header);
  if (length == 0 || length >= kMaxBodyBytes) return std::nullopt;

  std::string body(length, '\0');
  if (!readExact(fd, body.data(), body.size())) return std::nullopt;
  Json parsed = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;  // also the "discarded" value of a parse error
  return parsed;
}

// Reads on the number in controlFd itself, so it is only safe while nobody can
// close the connection at the same time; the reader loop reads through its own
// duplicate instead (see control_socket.cpp).
std::optional<Json> KernelProcessManager::recvFrame() { return readFrame(controlFd_.load()); }

}  // namespace zelvo
