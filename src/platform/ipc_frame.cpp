#include "platform/ipc_frame.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

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
  std::vector<uint8_t> out;
  out.reserve(256);  // most messages fit: one allocation instead of several
  out.resize(kFrameHeaderSize);
  IpcValue::to_msgpack(message, nlohmann::detail::output_adapter<uint8_t>(out));
  size_t body = out.size() - kFrameHeaderSize;
  if (body > kMaxFrameBody) throw std::length_error("IPC message larger than 256 MiB");
  for (size_t i = 0; i < kFrameHeaderSize; ++i) out[i] = uint8_t(body >> (8 * i));
  return out;
}

std::optional<std::string> scanMessagePack(const uint8_t* p, size_t size) {
  // Each stack entry counts the values still expected at that nesting level.
  std::vector<uint64_t> remaining{1};
  uint64_t values = 0;
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
      values += children;
      if (values > kMaxMessageValues) return "message holds too many values";
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

namespace {

// A byte buffer at least this large that fills more than half of the body is
// adopted by the consuming decodeBody instead of copied. At most one can.
constexpr size_t kAdoptMinimum = 64 * 1024;

// Holds the adopted buffer's place in the tree until the body moves in. No
// decoded value has a subtype otherwise: the scan refuses extension types.
constexpr IpcValue::binary_t::subtype_type kAdoptedMarker = 0x5a454c56;

// Builds the value of a body that scanMessagePack accepted, iteratively, with
// every string and byte buffer allocated at its exact size (the library's
// decoder appends byte by byte, so a 100 MiB buffer passes through 128 MiB
// of doubling). Produces what IpcValue::from_msgpack produces: positive
// integers unsigned, negative ones and every signed encoding signed, map keys
// strings only, a repeated key's last value at its first position.
class Decoder {
 public:
  Decoder(const uint8_t* p, size_t size, bool mayAdopt) : p_(p), size_(size), mayAdopt_(mayAdopt) {}

  IpcValue run() {
    struct Level {
      IpcValue value;      // the array or map being filled
      uint64_t remaining;  // elements, or pairs of a map, still to come
      bool isMap;
      bool haveKey = false;
      std::string key;
      bool lookUp;  // whether each key is looked for as it comes
    };
    std::vector<Level> stack;
    for (;;) {
      const bool wantKey = !stack.empty() && stack.back().isMap && !stack.back().haveKey;
      const uint8_t t = byte();
      IpcValue v;
      if (isString(t)) {
        const size_t len = stringLength(t);
        std::string text(reinterpret_cast<const char*>(take(len)), len);
        if (wantKey) {
          stack.back().key = std::move(text);
          stack.back().haveKey = true;
          continue;
        }
        v = std::move(text);
      } else if (wantKey) {
        throw std::invalid_argument("map key is not a string");
      } else if (isContainer(t)) {
        const uint64_t count = containerCount(t);
        const bool isMap = (t >= 0x80 && t <= 0x8f) || t == 0xde || t == 0xdf;
        v = isMap ? IpcValue::object() : IpcValue::array();
        if (count > 0) {
          // The scan checked that every counted element is there, so the
          // count is no bigger than the body.
          if (isMap) {
            v.get_ref<IpcValue::object_t&>().reserve(count);
          } else {
            v.get_ref<IpcValue::array_t&>().reserve(count);
          }
          stack.push_back(Level{std::move(v), count, isMap, false, {}, count <= kLookUpTo});
          continue;
        }
      } else {
        v = scalar(t);
      }
      // Attach the value, closing every container it completes.
      for (;;) {
        if (stack.empty()) {
          if (pos_ != size_) throw std::invalid_argument("trailing bytes after the message");
          return v;
        }
        Level& top = stack.back();
        if (top.isMap) {
          auto& map = top.value.get_ref<IpcValue::object_t&>();
          if (top.lookUp) {
            map[top.key] = std::move(v);
          } else {
            static_cast<IpcValue::object_t::Container&>(map).emplace_back(std::move(top.key),
                                                                          std::move(v));
          }
          top.haveKey = false;
        } else {
          top.value.get_ref<IpcValue::array_t&>().push_back(std::move(v));
        }
        if (--top.remaining > 0) break;
        if (top.isMap && !top.lookUp) dropRepeatedKeys(top.value.get_ref<IpcValue::object_t&>());
        v = std::move(top.value);
        stack.pop_back();
      }
    }
  }

  // A map of more pairs than this is filled without looking for repeated
  // keys, and rid of them once complete: the map's own lookup is a linear
  // search, so a frame of a thousand keys (4 KiB, small enough for the
  // listener's thread) would cost it half a million string comparisons.
  static constexpr uint64_t kLookUpTo = 16;

  // Keeps the first place of each key with its last value, as the map's own
  // insertion would have.
  static void dropRepeatedKeys(IpcValue::object_t& map) {
    auto& pairs = static_cast<IpcValue::object_t::Container&>(map);
    std::vector<uint32_t> byKey(pairs.size());
    for (uint32_t i = 0; i < byKey.size(); ++i) byKey[i] = i;
    std::stable_sort(byKey.begin(), byKey.end(),
                     [&](uint32_t a, uint32_t b) { return pairs[a].first < pairs[b].first; });
    std::vector<bool> dropped(pairs.size());
    bool any = false;
    for (size_t i = 1, run = 0; i < byKey.size(); ++i) {
      if (pairs[byKey[i]].first != pairs[byKey[i - 1]].first) {
        run = i;  // the first place of a key
        continue;
      }
      pairs[byKey[run]].second = std::move(pairs[byKey[i]].second);
      dropped[byKey[i]] = any = true;
    }
    if (!any) return;
    IpcValue::object_t::Container kept;
    kept.reserve(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
      if (!dropped[i]) kept.emplace_back(pairs[i].first, std::move(pairs[i].second));
    }
    pairs.swap(kept);
  }

  // Where the adopted buffer's bytes lie in the body, if one was adopted.
  std::optional<std::pair<size_t, size_t>> adopted() const { return adopted_; }

 private:
  static bool isString(uint8_t t) { return (t >= 0xa0 && t <= 0xbf) || (t >= 0xd9 && t <= 0xdb); }

  static bool isContainer(uint8_t t) {
    return (t >= 0x80 && t <= 0x9f) || (t >= 0xdc && t <= 0xdf);
  }

  uint8_t byte() {
    if (pos_ >= size_) throw std::invalid_argument("truncated message");
    return p_[pos_++];
  }

  const uint8_t* take(size_t n) {
    if (n > size_ - pos_) throw std::invalid_argument("truncated value");
    const uint8_t* at = p_ + pos_;
    pos_ += n;
    return at;
  }

  uint64_t bigEndian(size_t n) { return readBe(take(n), n); }

  size_t stringLength(uint8_t t) {
    if (t <= 0xbf) return t & 0x1f;
    return size_t(bigEndian(t == 0xd9 ? 1 : t == 0xda ? 2 : 4));
  }

  // The element count of a container that starts with `t` (pairs for a map).
  uint64_t containerCount(uint8_t t) {
    if (t <= 0x9f) return t & 0x0f;
    return bigEndian((t == 0xdc || t == 0xde) ? 2 : 4);
  }

  IpcValue scalar(uint8_t t) {
    if (t <= 0x7f) return uint64_t(t);
    if (t >= 0xe0) return int64_t(int8_t(t));
    switch (t) {
      case 0xc0:
        return nullptr;
      case 0xc2:
        return false;
      case 0xc3:
        return true;
      case 0xc4:
      case 0xc5:
      case 0xc6:
        return binary(size_t(bigEndian(t == 0xc4 ? 1 : t == 0xc5 ? 2 : 4)));
      case 0xca: {
        const uint32_t bits = uint32_t(bigEndian(4));
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return double(f);
      }
      case 0xcb: {
        const uint64_t bits = bigEndian(8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
      case 0xcc:
      case 0xcd:
      case 0xce:
      case 0xcf:
        return bigEndian(size_t(1) << (t - 0xcc));
      case 0xd0:
        return int64_t(int8_t(bigEndian(1)));
      case 0xd1:
        return int64_t(int16_t(bigEndian(2)));
      case 0xd2:
        return int64_t(int32_t(bigEndian(4)));
      case 0xd3:
        return int64_t(bigEndian(8));
      default:
        throw std::invalid_argument("unsupported MessagePack type");
    }
  }

  IpcValue binary(size_t len) {
    const uint8_t* at = take(len);
    if (mayAdopt_ && !adopted_ && len >= kAdoptMinimum && len > size_ / 2) {
      adopted_.emplace(size_t(at - p_), len);
      return IpcValue::binary({}, kAdoptedMarker);
    }
    return IpcValue::binary(std::vector<uint8_t>(at, at + len));
  }

  const uint8_t* const p_;
  const size_t size_;
  const bool mayAdopt_;
  size_t pos_ = 0;
  std::optional<std::pair<size_t, size_t>> adopted_;
};

// The placeholder of the adopted buffer, or nullptr when a repeated map key
// replaced it.
IpcValue* findAdopted(IpcValue& root) {
  std::vector<IpcValue*> todo{&root};
  while (!todo.empty()) {
    IpcValue* v = todo.back();
    todo.pop_back();
    if (v->is_binary()) {
      const auto& b = v->get_binary();
      if (b.has_subtype() && b.subtype() == kAdoptedMarker) return v;
    } else if (v->is_structured()) {
      for (auto& child : *v) todo.push_back(&child);
    }
  }
  return nullptr;
}

IpcValue decode(const uint8_t* p, size_t size, Decoder& decoder) {
  if (auto why = scanMessagePack(p, size)) throw std::invalid_argument(*why);
  IpcValue j = decoder.run();
  if (!j.is_object()) throw std::invalid_argument("message is not a map");
  return j;
}

}  // namespace

IpcValue decodeBody(const std::vector<uint8_t>& body) {
  Decoder decoder(body.data(), body.size(), /*mayAdopt=*/false);
  return decode(body.data(), body.size(), decoder);
}

IpcValue decodeBody(std::vector<uint8_t>&& body) {
  std::vector<uint8_t> frame = std::move(body);  // released on every path out
  Decoder decoder(frame.data(), frame.size(), /*mayAdopt=*/true);
  IpcValue j = decode(frame.data(), frame.size(), decoder);
  if (const auto at = decoder.adopted()) {
    if (IpcValue* slot = findAdopted(j)) {
      // The buffer's bytes move to the front of the frame, which becomes the
      // buffer: no second copy of a large upload is ever made.
      std::memmove(frame.data(), frame.data() + at->first, at->second);
      frame.resize(at->second);
      *slot = IpcValue::binary(std::move(frame));
    }
  }
  return j;
}

class FrameAssembler::Segment {
 public:
  explicit Segment(size_t capacity) : capacity_(capacity) {
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
  }
  ~Segment() { ::munmap(data_, capacity_); }
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  size_t room() const { return capacity_ - size_; }
  const uint8_t* data() const { return data_; }
  void append(const uint8_t* p, size_t n) {
    std::memcpy(data_ + size_, p, n);
    size_ += n;
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  const size_t capacity_;
};

FrameAssembler::FrameAssembler() = default;
FrameAssembler::~FrameAssembler() = default;

size_t FrameAssembler::capacityBytes() const {
  size_t total = body_.capacity();
  for (const auto& seg : segments_) total += seg->capacity();
  return total;
}

void FrameAssembler::reset() {
  std::vector<uint8_t>().swap(body_);
  std::vector<std::unique_ptr<Segment>>().swap(segments_);
  segmentBytes_ = 0;
  headerFill_ = 0;
  expected_ = 0;
}

std::vector<uint8_t> FrameAssembler::takeBody() {
  std::vector<uint8_t> out;
  if (segments_.empty()) {
    out.swap(body_);
  } else {
    // Reserved, not filled: the pages of `out` become resident only as the
    // copy reaches them, and each segment is unmapped once copied, so the
    // join holds little more than one body at any moment.
    out.reserve(body_.size() + segmentBytes_);
    out.insert(out.end(), body_.begin(), body_.end());
    std::vector<uint8_t>().swap(body_);
    for (auto& seg : segments_) {
      out.insert(out.end(), seg->data(), seg->data() + seg->size());
      seg.reset();
    }
  }
  reset();
  return out;
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
      if (len == 0 || len > maxBody_) {
        failed_ = true;
        reset();
        return false;
      }
      expected_ = len;
      continue;
    }
    const size_t arrived = body_.size() + segmentBytes_;
    size_t take = std::min<size_t>(expected_ - arrived, size);
    if (body_.size() < kSegmentSize) {
      take = std::min(take, kSegmentSize - body_.size());
      if (body_.capacity() < body_.size() + take) {
        // Grow geometrically with what has arrived, capped by the promise: the
        // length field bounds the buffer but never sizes it up front.
        size_t want = std::max({body_.size() + take, body_.capacity() * 2, size_t(4096)});
        body_.reserve(std::min<size_t>({want, expected_, kSegmentSize}));
      }
      body_.insert(body_.end(), data, data + take);
    } else {
      // Past the first segment a peer has shown it means to send a large
      // body; each further segment is mapped at its full size when its first
      // byte arrives, so at most one segment runs ahead of the bytes.
      if (segments_.empty() || segments_.back()->room() == 0) {
        segments_.push_back(
            std::make_unique<Segment>(std::min<size_t>(kSegmentSize, expected_ - arrived)));
      }
      Segment& seg = *segments_.back();
      take = std::min(take, seg.room());
      seg.append(data, take);
      segmentBytes_ += take;
    }
    data += take;
    size -= take;
    if (body_.size() + segmentBytes_ == expected_) sink(takeBody());
  }
  return true;
}

int writeAll(int fd, const uint8_t* data, size_t size,
             std::optional<std::chrono::steady_clock::time_point> deadline, size_t* written) {
  if (written) *written = 0;
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | (deadline ? MSG_DONTWAIT : 0));
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data, size);  // a pipe in place of a socket
    if (n < 0) {
      if (errno == EINTR) continue;  // nothing was written
      // Without a deadline the socket blocks, and says so only when its send
      // time-out ran out.
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      if (!deadline) return ETIMEDOUT;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return ETIMEDOUT;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, int(std::min<int64_t>(left.count(), INT_MAX))) < 0 && errno != EINTR) {
        return errno;
      }
      continue;
    }
    if (n == 0) return EPIPE;
    data += n;
    size -= size_t(n);
    if (written) *written += size_t(n);
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
