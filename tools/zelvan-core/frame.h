// Control-socket frames: a 4-byte little-endian body length, then one UTF-8
// JSON object. The same format runs in both directions. Stateless functions;
// callers serialise whole frames per descriptor themselves.
#pragma once

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

// Blocks until one whole frame has been read into `body`. Memory is committed
// as bytes arrive, never up front from the length field.
FrameStatus readFrame(int fd, std::string& body);

// Header plus body, ready for one writeAll().
std::string encodeFrame(std::string_view body);

// Writes every byte, retrying on EINTR and short writes; false on any error.
bool writeAll(int fd, std::string_view bytes);

}  // namespace zelvan
