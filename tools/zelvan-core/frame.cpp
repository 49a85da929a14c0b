#include "frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zelvan {
namespace {
constexpr size_t kReadAhead = 64 * 1024;

// Sleeps in poll(), not in read(): on a Unix stream socket a reader asleep in
// read() shares its wait queue with the socket's writers, so it would be woken
// each time the daemon takes one of our replies off the other end, only to
// find nothing and sleep again, pre-empting the daemon on its processor.
// poll() is woken for input alone. Its failures show in the read.
ssize_t readWhenReady(int fd, char* p, size_t n) {
  pollfd ready{fd, POLLIN, 0};
  ::poll(&ready, 1, -1);
  return ::read(fd, p, n);
}
}  // namespace

FrameReader::FrameReader(int fd) : fd_(fd), buffer_(kReadAhead, '\0') {}

bool FrameReader::fill(size_t n) {
  if (end_ - begin_ >= n) return true;
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  while (end_ < n) {
    const ssize_t got = readWhenReady(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    end_ += static_cast<size_t>(got);
  }
  return true;
}

FrameStatus FrameReader::next(std::string& body) {
  if (!fill(4)) return FrameStatus::kClosed;
  const auto* h = reinterpret_cast<const unsigned char*>(buffer_.data() + begin_);
  const uint32_t len = static_cast<uint32_t>(h[0]) | static_cast<uint32_t>(h[1]) << 8 |
                       static_cast<uint32_t>(h[2]) << 16 | static_cast<uint32_t>(h[3]) << 24;
  if (len == 0 || len > kMaxFrameBody) return FrameStatus::kBadLength;
  begin_ += 4;
  if (len <= buffer_.size()) {
    if (!fill(len)) return FrameStatus::kClosed;
    body.assign(buffer_, begin_, len);
    begin_ += len;
    return FrameStatus::kOk;
  }
  // Larger than the read-ahead: what is buffered, then the rest straight
  // into the body, committed as it arrives rather than from the length.
  body.assign(buffer_, begin_, end_ - begin_);
  begin_ = end_ = 0;
  while (body.size() < len) {
    const size_t old = body.size();
    body.resize(old + std::min<size_t>(kReadAhead, len - old));
    const ssize_t got = readWhenReady(fd_, body.data() + old, body.size() - old);
    body.resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return FrameStatus::kClosed;
  }
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
