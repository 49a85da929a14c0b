#include "frame.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zelvan {
namespace {

// Reads exactly `n` bytes appended to `out`; false at end of stream or error.
bool readExactly(int fd, size_t n, std::string& out) {
  constexpr size_t kChunk = 64 * 1024;
  size_t done = 0;
  while (done < n) {
    size_t want = std::min(kChunk, n - done);
    size_t old = out.size();
    out.resize(old + want);
    ssize_t got = ::read(fd, out.data() + old, want);
    if (got < 0 && errno == EINTR) {
      out.resize(old);
      continue;
    }
    if (got <= 0) {
      out.resize(old);
      return false;
    }
    out.resize(old + static_cast<size_t>(got));
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

FrameStatus readFrame(int fd, std::string& body) {
  std::string header;
  if (!readExactly(fd, 4, header)) return FrameStatus::kClosed;
  uint32_t len = static_cast<uint32_t>(static_cast<unsigned char>(header[0])) |
                 static_cast<uint32_t>(static_cast<unsigned char>(header[1])) << 8 |
                 static_cast<uint32_t>(static_cast<unsigned char>(header[2])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(header[3])) << 24;
  if (len == 0 || len > kMaxFrameBody) return FrameStatus::kBadLength;
  body.clear();
  if (!readExactly(fd, len, body)) return FrameStatus::kClosed;
  return FrameStatus::kOk;
}

std::string encodeFrame(std::string_view body) {
  uint32_t len = static_cast<uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  frame.push_back(static_cast<char>(len & 0xFF));
  frame.push_back(static_cast<char>((len >> 8) & 0xFF));
  frame.push_back(static_cast<char>((len >> 16) & 0xFF));
  frame.push_back(static_cast<char>((len >> 24) & 0xFF));
  frame.append(body);
  return frame;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace zelvan
