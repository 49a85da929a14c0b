#include "control/frame.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"
#include "platform/ipc_frame.h"

namespace zelvo {

namespace control {

namespace {

constexpr size_t kReadAhead = 64 * 1024;
// A body longer than the read-ahead grows by this much as its bytes arrive,
// so that a length field alone commits no memory.
constexpr size_t kBodyChunk = 64 * 1024;

// Replies are turned back into text by a writer that recurses once per level
// of nesting: a frame nested tens of thousands deep (a few hundred KB) would
// overflow a worker's stack. No kernel reply comes near this depth.
constexpr int kMaxNesting = 512;

bool nestedTooDeep(const char* begin, const char* end) {
  if (end - begin <= 2 * kMaxNesting) return false;  // too short to nest that deep
  int depth = 0;
  bool inString = false;
  for (const char* p = begin; p < end; ++p) {
    if (inString) {
      if (*p == '\\') {
        if (++p == end) break;
      } else if (*p == '"') {
        inString = false;
      }
    } else if (*p == '"') {
      inString = true;
    } else if (*p == '[' || *p == '{') {
      if (++depth > kMaxNesting) return true;
    } else if (*p == ']' || *p == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::string encodeRequestFrame(std::string_view id, std::string_view method, const Json& data) {
  std::string frame(4, '\0');  // the length goes here once the body is known
  frame += "{\"id\":";
  appendJsonString(frame, id);
  frame += ",\"method\":";
  appendJsonString(frame, method);
  frame += ",\"data\":";
  appendCompactJson(frame, data);
  frame += '}';
  const uint64_t n = frame.size() - 4;
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xff);
  return frame;
}

std::optional<uint32_t> decodeLength(const unsigned char h[4]) {
  const uint32_t n = static_cast<uint32_t>(h[0]) | static_cast<uint32_t>(h[1]) << 8 |
                     static_cast<uint32_t>(h[2]) << 16 | static_cast<uint32_t>(h[3]) << 24;
  if (n == 0 || n >= kMaxBodyBytes) return std::nullopt;
  return n;
}

std::optional<Json> parseBody(const char* begin, const char* end) {
  if (nestedTooDeep(begin, end)) return std::nullopt;
  Json parsed = Json::parse(begin, end, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;  // also the "discarded" value of a parse error
  return parsed;
}

// MSG_NOSIGNAL: a kernel that went away must not raise SIGPIPE in the
// daemon. With a time-out, a kernel that stopped reading holds the writer no
// longer than that.
bool writeAll(int fd, std::string_view bytes, double timeoutSeconds, size_t* written) {
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeoutSeconds >= 0) deadline = deadlineAfter(timeoutSeconds);
  return platform::writeAll(fd, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                            deadline, written) == 0;
}

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  seconds = std::min(seconds, 100.0 * 365 * 24 * 3600);
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

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

bool readRest(int fd, std::string& body, size_t length) {
  while (body.size() < length) {
    const size_t at = body.size();
    body.resize(at + std::min(length - at, kBodyChunk));
    if (!readExact(fd, body.data() + at, body.size() - at)) return false;
  }
  return true;
}

FrameReader::FrameReader(int fd) : fd_(fd), buffer_(kReadAhead, '\0') {}

void FrameReader::end() {
  fd_ = -1;
  large_ = std::string();
  largeLength_ = 0;
}

bool FrameReader::receive() {
  if (fd_ < 0) return false;
  // Into a large frame's own body, or after the unread bytes of the buffer.
  const bool large = largeLength_ > 0;
  const size_t at = large ? large_.size() : end_ - begin_;
  if (large) {
    large_.resize(at + std::min(largeLength_ - at, kBodyChunk));
  } else if (begin_ > 0) {  // keep the unread bytes at the front
    std::memmove(buffer_.data(), buffer_.data() + begin_, at);
    begin_ = 0;
    end_ = at;
  }
  std::string& into = large ? large_ : buffer_;
  ssize_t got = -1;
  do {
    got = ::read(fd_, into.data() + at, into.size() - at);
  } while (got < 0 && errno == EINTR);
  const size_t n = static_cast<size_t>(std::max<ssize_t>(got, 0));
  if (large) {
    large_.resize(at + n);
  } else {
    end_ = at + n;
  }
  if (got <= 0) end();
  return got > 0;
}

FrameReader::Taken FrameReader::take(std::optional<Json>& frame) {
  if (fd_ < 0) return Taken::End;
  if (largeLength_ == 0) {
    if (end_ - begin_ < 4) return Taken::Again;
    const std::optional<uint32_t> length =
        decodeLength(reinterpret_cast<const unsigned char*>(buffer_.data() + begin_));
    if (!length) {
      end();
      return Taken::End;
    }
    if (*length <= buffer_.size() - 4) {
      // The header stays unread until the whole body is in.
      if (end_ - begin_ - 4 < *length) return Taken::Again;
      const char* body = buffer_.data() + begin_ + 4;
      begin_ += 4 + *length;
      frame = parseBody(body, body + *length);
    } else {
      // Larger than the read-ahead buffer: what is buffered (all of it this
      // frame's) starts the body, the rest is read straight into it.
      large_.assign(buffer_.data() + begin_ + 4, end_ - begin_ - 4);
      largeLength_ = *length;
      begin_ = end_ = 0;
      if (large_.size() < largeLength_) return Taken::Again;
    }
  }
  if (largeLength_ > 0) {
    if (large_.size() < largeLength_) return Taken::Again;
    frame = parseBody(large_.data(), large_.data() + large_.size());
    large_ = std::string();
    largeLength_ = 0;
  }
  if (!frame) {
    end();
    return Taken::End;
  }
  return Taken::Frame;
}

std::optional<Json> FrameReader::next() {
  for (;;) {
    std::optional<Json> frame;
    const Taken taken = take(frame);
    if (taken == Taken::Frame) return frame;
    if (taken == Taken::End || !receive()) return std::nullopt;
  }
}

}  // namespace control

namespace {

// A frame at most this large may be handed to another writer; a larger one
// (a configuration) waits to be written with its own time-out.
constexpr size_t kHandedFrameBytes = 64 * 1024;
// A frame at most this long goes whole or not at all when sent without
// waiting (it fits one buffer of the socket); a longer one could be cut
// short, which ends the connection, so it is not tried without waiting.
constexpr size_t kAtOnceFrameBytes = 16 * 1024;
// The time-out a handed frame of a caller that does not wait is written with.
constexpr double kHandedNoWaitSeconds = 2.0;
// Rounds of handed frames a caller writes after its own before a worker
// takes the writer's role over.
constexpr int kWriterRounds = 4;

// Once a frame has begun it is finished while the kernel keeps reading: one
// that serves a request at a time stops reading for as long as that request
// takes (a delay test, up to 12 s), and a long configuration would otherwise
// be cut at its sender's time-out. Bounded still: it is given up when the
// kernel takes nothing for that long, or after a minute in all.
constexpr double kKernelPauseSeconds = 12.0;
constexpr double kBegunFrameSeconds = 60.0;

// Writes `bytes` whole: starts within the time-out, then as above; a write cut
// short ends the connection, since the kernel would take the next frame for
// its remainder.
bool writeWhole(int fd, std::string_view bytes, double timeoutSeconds) {
  if (fd < 0) return false;
  size_t written = 0;
  if (control::writeAll(fd, bytes, timeoutSeconds, &written)) return true;
  const auto giveUp = control::deadlineAfter(kBegunFrameSeconds);
  for (size_t more = written; more > 0 && timeoutSeconds > 0;) {
    bytes.remove_prefix(more);
    const double left =
        std::chrono::duration<double>(giveUp - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    if (control::writeAll(fd, bytes, std::min(left, kKernelPauseSeconds), &more)) return true;
    written += more;
  }
  if (written > 0) ::shutdown(fd, SHUT_RDWR);
  return false;
}

}  // namespace

std::optional<std::string> KernelProcessManager::encodeFrame(const std::string& id,
                                                             const std::string& method,
                                                             const Json& data) {
  std::string frame;
  try {
    frame = control::encodeRequestFrame(id, method, data);
  } catch (...) {
    return std::nullopt;
  }
  if (frame.size() - 4 >= control::kMaxBodyBytes) {
    // The kernel would drop the connection over it, and every later request
    // with it.
    log("→ " + method + " not sent: " + std::to_string(frame.size() - 4) +
        " bytes, more than the kernel reads");
    return std::nullopt;
  }
  return frame;
}

bool KernelProcessManager::writeFrame(const std::string& id, const std::string& method,
                                      const Json& data, double timeoutSeconds) {
  const std::optional<std::string> frame = encodeFrame(id, method, data);
  return frame && writeEncoded(id, *frame, timeoutSeconds);
}

bool KernelProcessManager::writeEncoded(const std::string& id, const std::string& frame,
                                        double timeoutSeconds, bool mayHand) {
  const bool waits = timeoutSeconds > 0;
  {
    std::unique_lock<std::mutex> c(combineLock_);
    if (writerBusy_ && mayHand && frame.size() <= kHandedFrameBytes) {
      handed_ += frame;
      handedIds_.push_back(id);
      handedTimeout_ = std::max(handedTimeout_, waits ? timeoutSeconds : kHandedNoWaitSeconds);
      return true;
    }
    if (waits) {
      // The time-out covers the wait for the writer before this one too.
      const auto until = control::deadlineAfter(timeoutSeconds);
      if (!writerDone_.wait_until(c, until, [this] { return !writerBusy_; })) return false;
      writerBusy_ = true;
      timeoutSeconds =
          std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
      if (timeoutSeconds <= 0) timeoutSeconds = 0.001;
    }
  }
  if (waits) return writeAsWriter(frame, timeoutSeconds);
  if (frame.size() > kAtOnceFrameBytes) return false;  // could be cut short
  // Held across the send, which keeps frames from different threads whole on
  // the stream; the send is non-blocking, and a writer that may not wait does
  // not queue behind another either.
  std::unique_lock<std::mutex> g(writeLock, std::try_to_lock);
  return g.owns_lock() && writeWhole(controlFd_.load(), frame, 0);
}

bool KernelProcessManager::writeAsWriter(const std::string& frame, double timeoutSeconds) {
  bool sent = false;
  bool passOn = false;
  std::vector<std::string> lost;
  {
    // Held across the sends (bounded by their time-outs), which keeps frames
    // whole on the stream and the descriptor open.
    std::lock_guard<std::mutex> g(writeLock);
    const int fd = controlFd_.load();
    sent = frame.empty() || writeWhole(fd, frame, timeoutSeconds);
    bool open = sent;
    for (int round = 0;; ++round) {
      std::string next;
      std::vector<std::string> ids;
      double timeout = 0;
      {
        std::lock_guard<std::mutex> c(combineLock_);
        if (handed_.empty()) {
          writerBusy_ = false;
          break;
        }
        // Frames that keep coming (a flood of status requests) must not keep
        // this caller from its own reply: a worker takes the role over.
        passOn = round == kWriterRounds;
        if (passOn) break;
        next.swap(handed_);
        ids.swap(handedIds_);
        timeout = std::exchange(handedTimeout_, 0);
      }
      // After a failure nothing more is tried: it would only wait again.
      open = open && writeWhole(fd, next, timeout);
      if (!open) lost.insert(lost.end(), ids.begin(), ids.end());
    }
  }
  if (passOn) {
    platform::globalQueue(platform::QoS::Utility).async([self = shared_from_this()] {
      self->writeAsWriter({}, 0);
    });
  } else {
    writerDone_.notify_all();
  }
  // Their callers were told the frames were on their way: end their requests
  // now rather than at their time-outs.
  for (const std::string& id : lost) {
    std::shared_ptr<Pending> pending;
    {
      std::lock_guard<std::mutex> g(pendingLock);
      auto node = pending_.extract(id);
      if (node) pending = std::move(node.mapped());
    }
    if (pending) release(*pending);
  }
  return sent;
}

std::optional<Json> KernelProcessManager::readFrame(int fd) {
  if (fd < 0) return std::nullopt;
  unsigned char header[4];
  if (!control::readExact(fd, reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
  const std::optional<uint32_t> length = control::decodeLength(header);
  if (!length) return std::nullopt;
  std::string body;
  if (!control::readRest(fd, body, *length)) return std::nullopt;
  return control::parseBody(body.data(), body.data() + body.size());
}

// Reads each frame exactly, on the number in controlFd itself: only safe while
// nobody can close the connection at the same time. The reader loop reads
// through its own duplicate instead (see control_socket.cpp).
std::optional<Json> KernelProcessManager::recvFrame() {
  return readFrame(controlFd_.load());
}

}  // namespace zelvo
