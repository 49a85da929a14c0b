// The wire framing: reassembly from arbitrary chunks, the length limits, the
// memory committed for a frame in progress, and the pre-decode scan that
// keeps hostile MessagePack away from the decoder.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>

#include "platform/ipc_frame.h"
#include "support/raw_connection.h"

namespace zelvo::platform {
namespace {

using zelvo::testing::le32;

// Small frames, one spanning several segments, and a small one after it. Each
// chunking must give back every body, in one buffer of exactly its size, while
// the memory held follows the bytes that arrived rather than the length
// promised: at most twice those bytes (64 KiB at the least) below a segment,
// at most one segment ahead of them beyond.
TEST(IpcFrame, ReassemblesAnyChunkingHoldingOnlyWhatArrived) {
  std::vector<uint8_t> stream;
  std::vector<IpcValue> sent;
  std::mt19937 rng(7);
  auto add = [&](const IpcValue& m) {
    sent.push_back(m);
    auto f = encodeFrame(m);
    stream.insert(stream.end(), f.begin(), f.end());
  };
  for (int i = 0; i < 50; ++i) add({{"seq", i + 1}, {"args", {std::string(rng() % 300, 'x'), i}}});
  std::vector<uint8_t> payload(2 * FrameAssembler::kSegmentSize + 12345);
  for (auto& b : payload) b = uint8_t(rng());
  add({{"seq", 51}, {"args", {IpcValue::binary(payload)}}});
  add({{"seq", 52}, {"args", {"after"}}});

  constexpr size_t kSeg = FrameAssembler::kSegmentSize;
  for (size_t chunk :
       {size_t(3), size_t(5), size_t(977), size_t(4093), size_t(65536), kSeg + 3, stream.size()}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    FrameAssembler a;
    std::vector<std::vector<uint8_t>> bodies;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      const size_t n = std::min(chunk, stream.size() - i);
      ASSERT_TRUE(a.feed(stream.data() + i, n, [&](std::vector<uint8_t>&& b) {
        EXPECT_EQ(b.capacity(), b.size());
        bodies.push_back(std::move(b));
      }));
      const size_t held = a.bufferedBytes();
      ASSERT_LE(a.capacityBytes(), held < kSeg ? std::max<size_t>(65536, 2 * held) : held + kSeg)
          << "holding " << held << " bytes";
    }
    ASSERT_EQ(bodies.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(decodeBody(bodies[i]), sent[i]) << i;
    EXPECT_EQ(a.bufferedBytes(), 0u);
    EXPECT_EQ(a.capacityBytes(), 0u);
  }
}

TEST(IpcFrame, ZeroAndOversizedLengthsAreProtocolErrors) {
  for (uint32_t len : {0u, kMaxFrameBody + 1, 0xffffffffu}) {
    FrameAssembler a;
    auto h = le32(len);
    bool fed = true;
    for (uint8_t byte : h) fed = fed && a.feed(&byte, 1, [](auto&&) { ADD_FAILURE(); });
    EXPECT_FALSE(fed) << len;
    EXPECT_TRUE(a.failed());
    uint8_t more = 0;
    EXPECT_FALSE(a.feed(&more, 1, [](auto&&) {}));  // and it stays failed
  }
  // Exactly the limit is allowed as a length.
  FrameAssembler a;
  auto h = le32(kMaxFrameBody);
  EXPECT_TRUE(a.feed(h.data(), h.size(), [](auto&&) {}));
}

TEST(IpcFrame, ScanRefusesHostileBodies) {
  auto refused = [](std::vector<uint8_t> b) {
    return scanMessagePack(b.data(), b.size()).has_value();
  };
  // A million nested arrays: refused without recursing.
  EXPECT_TRUE(refused(std::vector<uint8_t>(1'000'000, 0x91)));
  // Nesting just within the limit is fine.
  std::vector<uint8_t> ok(kMaxMessageDepth - 1, 0x91);
  ok.push_back(0xc0);
  EXPECT_FALSE(refused(ok));
  // A map32 that claims four billion pairs in a few bytes.
  EXPECT_TRUE(refused({0xdf, 0xff, 0xff, 0xff, 0xff, 0xc0}));
  // Truncated string and truncated length.
  EXPECT_TRUE(refused({0xa5, 'a', 'b'}));
  EXPECT_TRUE(refused({0xda, 0x00}));
  // Invalid UTF-8: a lone continuation byte, an overlong, a surrogate.
  EXPECT_TRUE(refused({0xa1, 0x80}));
  EXPECT_TRUE(refused({0xa2, 0xc0, 0xaf}));
  EXPECT_TRUE(refused({0xa3, 0xed, 0xa0, 0x80}));
  // Extension types and the never-used byte.
  EXPECT_TRUE(refused({0xd4, 0x01, 0x00}));
  EXPECT_TRUE(refused({0xc7, 0x01, 0x01, 0x00}));
  EXPECT_TRUE(refused({0xc1}));
  // Trailing bytes after one value.
  EXPECT_TRUE(refused({0x80, 0x80}));
  EXPECT_TRUE(refused({}));
}

// What the library's own decoder makes of a body that passed the scan, or
// nullopt when it refuses it.
std::optional<IpcValue> libraryDecode(const std::vector<uint8_t>& body) {
  try {
    return IpcValue::from_msgpack(body, /*strict=*/true, /*allow_exceptions=*/true);
  } catch (const IpcValue::exception&) {
    return std::nullopt;
  }
}

// Compared through their encodings: NaN is not equal to itself, its bytes are.
void expectSameAsLibrary(const std::vector<uint8_t>& body) {
  const auto expected = libraryDecode(body);
  const bool map = expected && expected->is_object();
  try {
    const IpcValue mine = decodeBody(body);
    ASSERT_TRUE(map) << "accepted what the library refuses or is not a map";
    EXPECT_EQ(IpcValue::to_msgpack(mine), IpcValue::to_msgpack(*expected));
  } catch (const std::invalid_argument& e) {
    EXPECT_FALSE(map) << "refused a map the library decodes: " << e.what();
  }
}

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(uint8_t(b));
  return out;
}

TEST(IpcFrame, DecoderAgreesWithTheLibraryOnEveryEncoding) {
  // Encodings the library's encoder never picks but a peer may send, and
  // well-formed bodies that are not requests.
  const std::vector<std::vector<uint8_t>> bodies = {
      bytes({0x81, 0xa1, 'a', 0xcc, 0x05}),                    // uint8 of a small value
      bytes({0x81, 0xa1, 'a', 0xcd, 0x00, 0x05}),              // uint16
      bytes({0x81, 0xa1, 'a', 0xce, 0x00, 0x00, 0x00, 0x05}),  // uint32
      bytes({0x81, 0xa1, 'a', 0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
      bytes({0x81, 0xa1, 'a', 0xd0, 0x05}),  // int8 of a positive value stays signed
      bytes({0x81, 0xa1, 'a', 0xd0, 0x80}),
      bytes({0x81, 0xa1, 'a', 0xd1, 0x80, 0x00}),
      bytes({0x81, 0xa1, 'a', 0xd2, 0x80, 0x00, 0x00, 0x00}),
      bytes({0x81, 0xa1, 'a', 0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
      bytes({0x81, 0xa1, 'a', 0xe0}),                          // negative fixint
      bytes({0x81, 0xa1, 'a', 0xca, 0x3f, 0xc0, 0x00, 0x00}),  // float32 1.5
      bytes({0x81, 0xa1, 'a', 0xca, 0x7f, 0xc0, 0x00, 0x00}),  // float32 NaN
      bytes({0x81, 0xa1, 'a', 0xcb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18}),
      bytes({0x81, 0xd9, 0x01, 'k', 0xda, 0x00, 0x01, 'v'}),  // str8 key, str16 value
      bytes({0x81, 0xdb, 0x00, 0x00, 0x00, 0x01, 'k', 0xc5, 0x00, 0x02, 1, 2}),  // bin16
      bytes({0x81, 0xa1, 'k', 0xc6, 0x00, 0x00, 0x00, 0x00}),                    // empty bin32
      bytes({0xde, 0x00, 0x01, 0xa1, 'k', 0xdc, 0x00, 0x02, 0xc0, 0xc3}),        // map16, array16
      bytes({0xdf, 0x00, 0x00, 0x00, 0x01, 0xa1, 'k', 0xdd, 0x00, 0x00, 0x00, 0x00}),
      bytes({0x82, 0xa1, 'a', 0x01, 0xa1, 'a', 0x02}),  // a repeated key: the last wins
      bytes({0x83, 0xa1, 'b', 0x01, 0xa1, 'a', 0x90, 0xa1, 'b', 0x80}),
      bytes({0x81, 0xa1, 'a', 0x81, 0xa1, 'b', 0x81, 0xa0, 0xc2}),  // empty key, nested
      bytes({0x81, 0x01, 0x02}),                                    // an integer key
      bytes({0x80}),
      bytes({0x90}),                               // empty map, not a map
      bytes({0x81, 0xa1, 'a', 0x81, 0xc0, 0xc0}),  // a nil key, nested
      bytes({0x81, 0xa1, 'a', 0x81, 0x90, 0xc0}),  // an array key
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(IpcValue::binary(body).dump());
    ASSERT_EQ(scanMessagePack(body.data(), body.size()), std::nullopt);
    expectSameAsLibrary(body);
  }
}

// Random trees of every type, encoded by the library, decode to themselves.
TEST(IpcFrame, DecoderRoundTripsRandomMessages) {
  std::mt19937 rng(3);
  std::function<IpcValue(int)> make = [&](int depth) -> IpcValue {
    switch (rng() % (depth > 4 ? 7 : 9)) {
      case 0:
        return nullptr;
      case 1:
        return rng() % 2 == 0;
      case 2:
        return uint64_t(rng()) << (rng() % 33);
      case 3:
        return -int64_t(rng()) << (rng() % 31);
      case 4:
        return double(int32_t(rng())) / 7.0;
      case 5:
        return std::string(rng() % 40, 'x') + "内核" + std::string(rng() % 3 ? 0 : 70000, 'y');
      case 6:
        return IpcValue::binary(std::vector<uint8_t>(rng() % (rng() % 5 ? 30 : 300000), 0xab));
      case 7: {
        IpcValue a = IpcValue::array();
        for (int i = int(rng() % 6); i > 0; --i) a.push_back(make(depth + 1));
        return a;
      }
      default: {
        IpcValue m = IpcValue::object();
        for (int i = int(rng() % 6); i > 0; --i)
          m["k" + std::to_string(rng() % 8)] = make(depth + 1);
        return m;
      }
    }
  };
  for (int i = 0; i < 300; ++i) {
    IpcValue m = {{"seq", i + 1}, {"args", make(0)}};
    auto body = IpcValue::to_msgpack(m);
    EXPECT_EQ(decodeBody(body), m);
    EXPECT_EQ(decodeBody(std::vector<uint8_t>(body)), m);  // the consuming form
  }
}

// Bodies the library encoded, with a byte or two changed at random: whatever
// the scan still admits, both decoders must read alike.
TEST(IpcFrame, DecoderAgreesWithTheLibraryOnMutatedBodies) {
  std::mt19937 rng(5);
  const IpcValue seed = {{"seq", 1},
                         {"sel", "selectOutbound:proxy:"},
                         {"args",
                          {"Proxy",
                           "节点-b",
                           200,
                           -3,
                           true,
                           nullptr,
                           1.5,
                           IpcValue::binary(std::vector<uint8_t>(5, 1)),
                           {{"$class", "ProxyStatus"}, {"httpPort", 7890}, {"mode", "rule"}}}}};
  const auto original = IpcValue::to_msgpack(seed);
  int admitted = 0;
  for (int i = 0; i < 25000; ++i) {
    std::vector<uint8_t> b = original;
    for (int k = 1 + int(rng() % 2); k > 0; --k) b[rng() % b.size()] = uint8_t(rng());
    if (scanMessagePack(b.data(), b.size())) continue;
    ++admitted;
    expectSameAsLibrary(b);
    if (HasFailure()) break;
  }
  EXPECT_GT(admitted, 250);
}

// The consuming decode lets an upload's byte buffer take over the frame's
// memory (the daemon's large-upload test measures that); the buffer must land
// where the library puts a repeated key's value.
TEST(IpcFrame, ConsumingDecodeHonoursARepeatedKeyOverALargeBuffer) {
  const std::vector<uint8_t> payload(200 * 1024, 0x42);
  auto big = IpcValue::to_msgpack(IpcValue::binary(payload));
  // {"a": <big>, "a": 1} and {"a": 1, "a": <big>}: the last value wins, at the
  // first key's place, as the library has it.
  std::vector<uint8_t> lost = bytes({0x82, 0xa1, 'a'});
  lost.insert(lost.end(), big.begin(), big.end());
  for (int b : {0xa1, int('a'), 0x01}) lost.push_back(uint8_t(b));
  std::vector<uint8_t> kept = bytes({0x83, 0xa1, 'a', 0x01, 0xa1, 'b', 0x02, 0xa1, 'a'});
  kept.insert(kept.end(), big.begin(), big.end());
  for (const auto& body : {lost, kept}) {
    const auto expected = libraryDecode(body);
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(decodeBody(std::vector<uint8_t>(body)), *expected);
  }
  EXPECT_EQ(decodeBody(std::vector<uint8_t>(kept))["a"].get_binary().size(), payload.size());
}

}  // namespace
}  // namespace zelvo::platform
