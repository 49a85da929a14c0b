// Control-socket frames: a 4-byte little-endian body length, then one UTF-8
// JSON object. The same format runs in both directions. FrameReader belongs
// to the one thread that reads a descriptor; the other functions are
// stateless, and callers serialise whole frames per descriptor themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelvan {

// A receiver accepts bodies of 1 .. kMaxFrameBody bytes.
inline constexpr uint32_t kMaxFrameBody = 0x01FFFFFF;

enum class FrameStatus {
  kOk,
  kClosed,     // end of stream or read error before a whole frame
  kBadLength,  // 0, or 32 MiB and more: the stream cannot be trusted any more
};

// Reads frames from one descriptor through a read-ahead buffer, so that a
// small frame costs one read, and frames that arrived together cost one read
// between them.
class FrameReader {
 public:
  explicit FrameReader(int fd);

  // Blocks until one whole frame has been read into `body`. Memory is
  // committed as bytes arrive, never up front from the length field.
  FrameStatus next(std::string& body);

 private:
  bool fill(size_t n);  // until at least n bytes are buffered; false at end

  int fd_;
  std::string buffer_;  // fixed size; the unread bytes are [begin_, end_)
  size_t begin_ = 0, end_ = 0;
};

// Header plus body, ready for one writeAll().
std::string encodeFrame(std::string_view body);

// Writes every byte, retrying on EINTR and short writes; false on any error.
bool writeAll(int fd, std::string_view bytes);

}  // namespace zelvan
