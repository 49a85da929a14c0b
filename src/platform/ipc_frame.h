// IPC frames: the wire format between the helper and its clients.
//
// A frame is a 4-byte little-endian unsigned body length followed by the body,
// one MessagePack map. Bodies are 1 byte to 256 MiB; any other length is a
// protocol error. The body is scanned before it is decoded so that hostile
// input (deep nesting, counts larger than the data, invalid UTF-8, extension
// types) is refused without recursion or allocation proportional to a claim.
//
// FrameAssembler reassembles frames from a non-blocking stream. It commits
// memory only as bytes arrive: a header promising 200 MiB followed by silence
// costs what actually arrived, never the promise. A large body is gathered in
// segments and joined once complete, so assembling it never holds much more
// than the body itself (a buffer grown by doubling holds two copies at each
// step).
//
// Nothing here is shared between threads; each assembler belongs to one reader.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::platform {

// A decoded IPC message. Maps keep their keys in insertion order, so what a
// peer encodes in a given order (an archive's fields, "seq" before "sel") goes
// out in that order.
using IpcValue = nlohmann::ordered_json;

inline constexpr size_t kFrameHeaderSize = 4;
inline constexpr uint32_t kMaxFrameBody = 256u * 1024u * 1024u;
// Nesting deeper than this is refused; real messages nest three or four deep.
inline constexpr int kMaxMessageDepth = 32;
// More values than this in one message are refused: a decoded value takes
// dozens of bytes where the wire took one, and real messages hold a handful.
inline constexpr uint64_t kMaxMessageValues = 65536;

// Encodes `message` as one frame (header + MessagePack body). Throws
// std::length_error when the body would exceed kMaxFrameBody.
std::vector<uint8_t> encodeFrame(const IpcValue& message);

// Checks that `body` is exactly one well-formed MessagePack value whose
// strings are valid UTF-8, with no extension types, no nesting deeper than
// kMaxMessageDepth and at most kMaxMessageValues values inside containers.
// Iterative, so hostile nesting cannot exhaust the stack.
// Returns the reason when it is not.
std::optional<std::string> scanMessagePack(const uint8_t* body, size_t size);

// Decodes one frame body into a map. Throws std::invalid_argument (with the
// reason) when the body fails scanMessagePack, cannot be decoded, or is not a
// map. Strings and byte buffers are allocated at their exact size.
IpcValue decodeBody(const std::vector<uint8_t>& body);
// The same, consuming the body. A byte buffer that fills more than half of the
// body (an uploaded kernel) takes over the body's memory instead of being
// copied, so decoding a large upload needs no second copy of it. The body is
// released (or adopted) before this returns, whether it succeeds or throws.
IpcValue decodeBody(std::vector<uint8_t>&& body);

class FrameAssembler {
 public:
  using FrameSink = std::function<void(std::vector<uint8_t>&& body)>;

  FrameAssembler();
  ~FrameAssembler();
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  // Consumes `size` bytes; calls `sink` once per completed body, in order.
  // Returns false on a protocol error (the stream is then unusable; further
  // calls keep returning false).
  bool feed(const uint8_t* data, size_t size, const FrameSink& sink);

  // Bytes held for the frame in progress (its header and partial body).
  size_t bufferedBytes() const { return headerFill_ + body_.size() + segmentBytes_; }
  // Memory allocated for the frame in progress: at most twice what arrived
  // while the body is small, at most one segment more than that beyond.
  size_t capacityBytes() const;
  bool failed() const { return failed_; }
  // The body length of the frame in progress, once its header is in; 0 before.
  uint32_t announcedBytes() const { return expected_; }
  // Bytes still missing until the end of the frame in progress (or of the
  // next header), so a reader can stop exactly at a frame's end.
  size_t bytesToFrameEnd() const {
    return expected_ == 0 ? kFrameHeaderSize - headerFill_
                          : expected_ - (body_.size() + segmentBytes_);
  }
  // Lowers the largest body accepted (never above kMaxFrameBody); a longer
  // length field is a protocol error like any other.
  void setMaxBody(uint32_t bytes) { maxBody_ = std::min(bytes, kMaxFrameBody); }

  // Bodies larger than this are gathered in segments of this size.
  static constexpr size_t kSegmentSize = 1u << 20;

 private:
  // The complete body, in one buffer of exactly its size; leaves the
  // assembler ready for the next header.
  std::vector<uint8_t> takeBody();

  // Drops the frame in progress.
  void reset();

  // Pages mapped for one later segment; unmapped, and so handed back to the
  // system, the moment it is released (a freed heap block may stay resident).
  class Segment;

  uint8_t header_[kFrameHeaderSize] = {};
  size_t headerFill_ = 0;
  uint32_t expected_ = 0;  // body length of the frame in progress, once known
  // The first kSegmentSize bytes of the body (all of a small one), then the
  // later segments of a large one, each full but the last.
  std::vector<uint8_t> body_;
  std::vector<std::unique_ptr<Segment>> segments_;
  size_t segmentBytes_ = 0;  // bytes in segments_
  bool failed_ = false;
  uint32_t maxBody_ = kMaxFrameBody;
};

// Blocking helpers for a connected stream socket (or a pipe). writeAll
// sends everything with MSG_NOSIGNAL and returns 0 or the errno; ETIMEDOUT
// when the deadline, or without one the socket's send time-out (SO_SNDTIMEO,
// which starts again with every part sent), ran out first. With a deadline
// the socket is written without blocking and waited on with poll. `written`,
// when given, receives the bytes sent. readFrame returns the body, or nullopt
// on end of stream or error, with the errno (0 at a clean end of stream,
// EPROTO for a bad length) in `*err`.
int writeAll(int fd, const uint8_t* data, size_t size,
             std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt,
             size_t* written = nullptr);
std::optional<std::vector<uint8_t>> readFrame(int fd, int* err);

}  // namespace zelvo::platform
