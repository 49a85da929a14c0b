#include "platform/ipc_frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zelvo::platform {

namespace {

uint32_t readLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t readBe(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

// True when [p, p+n) is well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool validUtf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

std::vector<uint8_t> encodeFrame(const IpcValue& message) {
  std::vector<uint8_t> out(kFrameHeaderSize);
  IpcValue::to_msgpack(message, nlohmann::detail::output_adapter<uint8_t>(out));
  size_t body = out.size() - kFrameHeaderSize;
  if (body > kMaxFrameBody) throw std::length_error("IPC message larger than 256 MiB");
  for (size_t i = 0; i < kFrameHeaderSize; ++i) out[i] = uint8_t(body >> (8 * i));
  return out;
}

std::optional<std::string> scanMessagePack(const uint8_t* p, size_t size) {
  // Each stack entry counts the values still expected at that nesting level.
  std::vector<uint64_t> remaining{1};
  size_t pos = 0;
  auto need = [&](uint64_t n) { return n <= size - pos; };
  while (!remaining.empty()) {
    if (remaining.back() == 0) {
      remaining.pop_back();
      continue;
    }
    --remaining.back();
    if (pos >= size) return "truncated message";
    uint8_t t = p[pos++];
    uint64_t children = 0;  // values inside a container that starts here
    uint64_t skip = 0;      // payload bytes of a scalar
    bool isString = false;
    if (t <= 0x7f || t >= 0xe0) {
      // fixint
    } else if (t <= 0x8f) {
      children = uint64_t(t & 0x0f) * 2;
      if (children == 0) continue;
    } else if (t <= 0x9f) {
      children = t & 0x0f;
      if (children == 0) continue;
    } else if (t <= 0xbf) {
      skip = t & 0x1f;
      isString = true;
    } else {
      switch (t) {
        case 0xc0:
        case 0xc2:
        case 0xc3:
          break;
        case 0xc4:
        case 0xc5:
        case 0xc6:
        case 0xd9:
        case 0xda:
        case 0xdb: {
          size_t w = (t == 0xc4 || t == 0xd9) ? 1 : (t == 0xc5 || t == 0xda) ? 2 : 4;
          if (!need(w)) return "truncated length";
          skip = readBe(p + pos, w);
          pos += w;
          isString = t >= 0xd9;
          break;
        }
        case 0xca:
          skip = 4;
          break;
        case 0xcb:
          skip = 8;
          break;
        case 0xcc:
        case 0xd0:
          skip = 1;
          break;
        case 0xcd:
        case 0xd1:
          skip = 2;
          break;
        case 0xce:
        case 0xd2:
          skip = 4;
          break;
        case 0xcf:
        case 0xd3:
          skip = 8;
          break;
        case 0xdc:
        case 0xdd:
        case 0xde:
        case 0xdf: {
          size_t w = (t == 0xdc || t == 0xde) ? 2 : 4;
          if (!need(w)) return "truncated length";
          children = readBe(p + pos, w) * ((t >= 0xde) ? 2 : 1);
          pos += w;
          if (children == 0) continue;
          break;
        }
        default:
          return "unsupported MessagePack type";
      }
    }
    if (children > 0) {
      if (int(remaining.size()) >= kMaxMessageDepth) return "message nested too deeply";
      // Every value takes at least one byte, so a count beyond the rest of the
      // body is a lie; refusing it here keeps the decoder from trusting it.
      if (!need(children)) return "container larger than the message";
      remaining.push_back(children);
      continue;
    }
    if (!need(skip)) return "truncated value";
    if (isString && !validUtf8(p + pos, skip)) return "string is not valid UTF-8";
    pos += skip;
  }
  if (pos != size) return "trailing bytes after the message";
  return std::nullopt;
}

IpcValue decodeBody(const std::vector<uint8_t>& body) {
  if (auto why = scanMessagePack(body.data(), body.size())) throw std::invalid_argument(*why);
  IpcValue j;
  try {
    j = IpcValue::from_msgpack(body, /*strict=*/true, /*allow_exceptions=*/true);
  } catch (const IpcValue::exception& e) {
    throw std::invalid_argument(e.what());
  }
  if (!j.is_object()) throw std::invalid_argument("message is not a map");
  return j;
}

bool FrameAssembler::feed(const uint8_t* data, size_t size, const FrameSink& sink) {
  if (failed_) return false;
  while (size > 0) {
    if (expected_ == 0) {
      size_t take = std::min(kFrameHeaderSize - headerFill_, size);
      std::memcpy(header_ + headerFill_, data, take);
      headerFill_ += take;
      data += take;
      size -= take;
      if (headerFill_ < kFrameHeaderSize) break;
      uint32_t len = readLe32(header_);
      if (len == 0 || len > kMaxFrameBody) {
        failed_ = true;
        body_ = {};
        return false;
      }
      expected_ = len;
      continue;
    }
    size_t take = std::min<size_t>(expected_ - body_.size(), size);
    if (body_.capacity() < body_.size() + take) {
      // Grow geometrically with what has arrived, capped by the promise: the
      // length field bounds the buffer but never sizes it up front.
      size_t want = std::max({body_.size() + take, body_.capacity() * 2, size_t(4096)});
      body_.reserve(std::min<size_t>(want, expected_));
    }
    body_.insert(body_.end(), data, data + take);
    data += take;
    size -= take;
    if (body_.size() == expected_) {
      std::vector<uint8_t> done;
      done.swap(body_);
      headerFill_ = 0;
      expected_ = 0;
      sink(std::move(done));
    }
  }
  return true;
}

int writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, -1);
        continue;
      }
      return errno;
    }
    data += n;
    size -= size_t(n);
  }
  return 0;
}

namespace {
// Reads exactly `size` bytes; returns 0, the errno, or -1 at end of stream.
int readExactly(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::read(fd, data, size);
    if (n == 0) return -1;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= size_t(n);
  }
  return 0;
}
}  // namespace

std::optional<std::vector<uint8_t>> readFrame(int fd, int* err) {
  uint8_t header[kFrameHeaderSize];
  int rc = readExactly(fd, header, sizeof header);
  if (rc != 0) {
    *err = rc < 0 ? 0 : rc;
    return std::nullopt;
  }
  uint32_t len = readLe32(header);
  if (len == 0 || len > kMaxFrameBody) {
    *err = EPROTO;
    return std::nullopt;
  }
  std::vector<uint8_t> body;
  constexpr size_t kChunk = 64 * 1024;
  while (body.size() < len) {
    size_t take = std::min<size_t>(kChunk, len - body.size());
    size_t at = body.size();
    body.resize(at + take);
    rc = readExactly(fd, body.data() + at, take);
    if (rc != 0) {
      *err = rc < 0 ? EPROTO : rc;  // end of stream inside a frame is a protocol error
      return std::nullopt;
    }
  }
  *err = 0;
  return body;
}

}  // namespace zelvo::platform
