// Frames on the control socket: a 4-byte little-endian body length, then one
// compact JSON object, identical in both directions. Internal to the control
// channel; KernelProcessManager::writeFrame and recvFrame are the interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace zelvo::control {

using Json = nlohmann::json;

// Lengths from this value up are refused, as is 0: 32 MiB is far above any
// real configuration, and the bound keeps a corrupt header from committing
// memory.
inline constexpr uint32_t kMaxBodyBytes = 0x02000000;

// The whole frame of a request {"id","method","data"}: header and body.
std::string encodeRequestFrame(std::string_view id, std::string_view method, const Json& data);

// The body length in `header`, or nullopt when the receiver must refuse it.
std::optional<uint32_t> decodeLength(const unsigned char header[4]);

// The body as a JSON object; nullopt when it is not JSON or not an object.
std::optional<Json> parseBody(const char* begin, const char* end);

// Reads frames from one descriptor for the control connection's readers.
// Unlike KernelProcessManager::recvFrame(), which reads each frame exactly, it
// reads ahead into a buffer, so a reply usually costs one read() instead of
// two and replies that arrive together are taken in one call. The buffered
// bytes belong to this reader: use one per connection and nothing else on it.
// Not thread-safe: one thread at a time (the one that may read the connection).
class FrameReader {
 public:
  enum class Taken { Frame, Again, End };

  explicit FrameReader(int fd);
  // The next frame's body, reading as needed; nullopt at end of stream, on a
  // read error, or on a refused frame, after which the reader has ended.
  std::optional<Json> next();
  // Reads once what has arrived (blocks only when nothing has, so call it
  // when the descriptor is readable); false once the reader has ended.
  bool receive();
  // The next whole frame among the bytes received: Frame (in `frame`), Again
  // when none is whole yet, End when one is refused and the reader has ended.
  Taken take(std::optional<Json>& frame);
  // Ends the reader, as a broken connection would.
  void end();

 private:
  int fd_;
  std::string buffer_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // one past the last buffered byte
  // A frame longer than the buffer is read straight into its own body.
  std::string large_;
  size_t largeLength_ = 0;  // 0 while no such frame is being read
};

// Writes all of `bytes`; false when a call writes nothing or fails, or when
// `timeoutSeconds` (if not negative) passes first: 0 takes only what the
// socket accepts at once. `written`, when given, receives the bytes sent.
bool writeAll(int fd, std::string_view bytes, double timeoutSeconds = -1,
              size_t* written = nullptr);

// `seconds` from now, bounded so that absurd time-outs (negative, NaN, huge)
// cannot overflow the clock arithmetic.
std::chrono::steady_clock::time_point deadlineAfter(double seconds);

// Reads exactly `size` bytes; false at end of stream or on an error.
bool readExact(int fd, char* out, size_t size);

// Reads into `body` until it holds `length` bytes, growing it as the bytes
// arrive, so that a length field alone commits no memory.
bool readRest(int fd, std::string& body, size_t length);

}  // namespace zelvo::control
