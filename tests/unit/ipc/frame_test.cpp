// The wire framing: reassembly from arbitrary chunks, the length limits, the
// memory committed for a frame in progress, and the pre-decode scan that
// keeps hostile MessagePack away from the decoder.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>

#include "platform/ipc_frame.h"

namespace zelvo::platform {
namespace {

std::vector<uint8_t> header(uint32_t len) {
  return {uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), uint8_t(len >> 24)};
}

std::vector<std::vector<uint8_t>> feedAll(FrameAssembler& a, const std::vector<uint8_t>& bytes,
                                          size_t chunk, bool* ok) {
  std::vector<std::vector<uint8_t>> out;
  *ok = true;
  for (size_t i = 0; i < bytes.size() && *ok; i += chunk) {
    size_t n = std::min(chunk, bytes.size() - i);
    *ok = a.feed(bytes.data() + i, n, [&](std::vector<uint8_t>&& b) { out.push_back(b); });
  }
  return out;
}

TEST(IpcFrame, HeaderIsLittleEndianLengthOfTheMessagePackBody) {
  IpcValue m = {{"seq", 1}, {"sel", "getVersionWithCompletion:"}, {"args", IpcValue::array()}};
  auto frame = encodeFrame(m);
  auto body = IpcValue::to_msgpack(m);
  ASSERT_EQ(frame.size(), body.size() + 4);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 4), header(uint32_t(body.size())));
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 4, frame.end()), body);
  // Keys keep their order: "seq" is the first key of the map.
  EXPECT_EQ(frame[4], 0x83);
  EXPECT_EQ(frame[5], 0xa3);
  EXPECT_EQ(std::string(frame.begin() + 6, frame.begin() + 9), "seq");
}

TEST(IpcFrame, ReassemblesFramesFromAnyChunking) {
  std::vector<uint8_t> stream;
  std::vector<IpcValue> sent;
  std::mt19937 rng(7);
  for (int i = 0; i < 50; ++i) {
    IpcValue m = {{"seq", i + 1}, {"args", {std::string(rng() % 300, 'x'), i}}};
    sent.push_back(m);
    auto f = encodeFrame(m);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  for (size_t chunk : {size_t(1), size_t(3), size_t(4), size_t(5), size_t(977), stream.size()}) {
    FrameAssembler a;
    bool ok;
    auto bodies = feedAll(a, stream, chunk, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(bodies.size(), sent.size()) << "chunk " << chunk;
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(decodeBody(bodies[i]), sent[i]);
    EXPECT_EQ(a.bufferedBytes(), 0u);
  }
}

TEST(IpcFrame, ZeroAndOversizedLengthsAreProtocolErrors) {
  for (uint32_t len : {0u, kMaxFrameBody + 1, 0xffffffffu}) {
    FrameAssembler a;
    auto h = header(len);
    bool ok;
    auto bodies = feedAll(a, h, 1, &ok);
    EXPECT_FALSE(ok) << len;
    EXPECT_TRUE(a.failed());
    EXPECT_TRUE(bodies.empty());
    uint8_t more = 0;
    EXPECT_FALSE(a.feed(&more, 1, [](auto&&) {}));
  }
  // Exactly the limit is allowed as a length.
  FrameAssembler a;
  auto h = header(kMaxFrameBody);
  EXPECT_TRUE(a.feed(h.data(), h.size(), [](auto&&) {}));
}

TEST(IpcFrame, MemoryFollowsTheBytesThatArrivedNotThePromise) {
  FrameAssembler a;
  auto h = header(200u << 20);
  ASSERT_TRUE(a.feed(h.data(), h.size(), [](auto&&) {}));
  std::vector<uint8_t> some(10'000, 0x90);
  ASSERT_TRUE(a.feed(some.data(), some.size(), [](auto&&) {}));
  EXPECT_EQ(a.bufferedBytes(), 4u + some.size());
  EXPECT_LE(a.capacityBytes(), 64u * 1024);
  // Growing keeps capacity within twice what arrived.
  std::vector<uint8_t> chunk(64 * 1024, 0x90);
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(a.feed(chunk.data(), chunk.size(), [](auto&&) {}));
  size_t arrived = some.size() + 64 * chunk.size();
  EXPECT_LE(a.capacityBytes(), 2 * arrived);
  // Past the first segment, at most one segment runs ahead of the bytes.
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(a.feed(chunk.data(), chunk.size(), [](auto&&) {}));
    arrived += chunk.size();
    ASSERT_EQ(a.bufferedBytes(), 4u + arrived);
    ASSERT_LE(a.capacityBytes(), arrived + FrameAssembler::kSegmentSize);
    ASSERT_GE(a.capacityBytes(), arrived);
  }
}

// A body larger than one segment: every chunking, across segment boundaries,
// gives back the same bytes in one exact buffer, and nothing stays held after.
TEST(IpcFrame, LargeBodiesSurviveEveryChunkingAndReleaseTheirSegments) {
  const size_t big = 2 * FrameAssembler::kSegmentSize + 12345;
  std::vector<uint8_t> payload(big);
  std::mt19937 rng(11);
  for (auto& b : payload) b = uint8_t(rng());
  IpcValue large = {{"seq", 1}, {"args", {IpcValue::binary(payload)}}};
  IpcValue small = {{"seq", 2}, {"args", {"after"}}};
  std::vector<uint8_t> stream = encodeFrame(large);
  const size_t largeBody = stream.size() - 4;
  auto tail = encodeFrame(small);
  stream.insert(stream.end(), tail.begin(), tail.end());

  for (size_t chunk :
       {size_t(4093), size_t(64 * 1024), FrameAssembler::kSegmentSize + 3, stream.size()}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    FrameAssembler a;
    std::vector<std::vector<uint8_t>> bodies;
    size_t maxCapacity = 0;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      const size_t n = std::min(chunk, stream.size() - i);
      ASSERT_TRUE(a.feed(stream.data() + i, n, [&](std::vector<uint8_t>&& b) {
        EXPECT_EQ(b.capacity(), b.size());  // joined into exactly its size
        bodies.push_back(std::move(b));
      }));
      maxCapacity = std::max(maxCapacity, a.capacityBytes());
    }
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].size(), largeBody);
    EXPECT_EQ(decodeBody(bodies[0]), large);
    EXPECT_EQ(decodeBody(bodies[1]), small);
    EXPECT_EQ(a.bufferedBytes(), 0u);
    EXPECT_EQ(a.capacityBytes(), 0u);
    EXPECT_LE(maxCapacity, largeBody + FrameAssembler::kSegmentSize);
  }
}

TEST(IpcFrame, ScanAcceptsWhatTheEncoderProduces) {
  IpcValue m = {{"seq", uint64_t(1) << 63},
                {"args",
                 {nullptr,
                  true,
                  false,
                  -1,
                  -129,
                  -40000,
                  int64_t(-1) << 40,
                  255,
                  65536,
                  3.5,
                  "短い文字列",
                  std::string(70000, 'a'),
                  IpcValue::binary(std::vector<uint8_t>(300, 7)),
                  {{"$class", "ProxyStatus"}, {"mode", "rule"}}}}};
  auto body = IpcValue::to_msgpack(m);
  EXPECT_EQ(scanMessagePack(body.data(), body.size()), std::nullopt);
  EXPECT_EQ(decodeBody(body), m);
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

TEST(IpcFrame, DecodeRefusesNonMapsAndNonStringKeys) {
  EXPECT_THROW(decodeBody({0x90}), std::invalid_argument);
  EXPECT_THROW(decodeBody({0x81, 0x01, 0x02}), std::invalid_argument);
  EXPECT_THROW(decodeBody({0x91, 0x91}), std::invalid_argument);
  EXPECT_EQ(decodeBody({0x80}), IpcValue::object());
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
  // Encodings the library's encoder never picks but a peer may send.
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
      bytes({0x81, 0xa1, 'a', 0x81, 0xc0, 0xc0}),                   // a nil key, nested
      bytes({0x81, 0xa1, 'a', 0x81, 0x90, 0xc0}),                   // an array key
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

// An upload's byte buffer takes over the frame's memory instead of being
// copied; the non-consuming form and small buffers copy as before.
TEST(IpcFrame, ConsumingDecodeAdoptsTheFrameForOneLargeBuffer) {
  std::vector<uint8_t> payload(300 * 1024);
  std::mt19937 rng(9);
  for (auto& c : payload) c = uint8_t(rng());
  const IpcValue message = {
      {"seq", 7}, {"sel", "installKernel:withReply:"}, {"args", {IpcValue::binary(payload)}}};

  auto body = IpcValue::to_msgpack(message);
  const IpcValue copied = decodeBody(body);
  EXPECT_EQ(copied, message);
  EXPECT_NE(copied["args"][0].get_binary().data(), body.data());

  const uint8_t* frameMemory = body.data();
  const IpcValue adopted = decodeBody(std::move(body));
  EXPECT_EQ(adopted, message);
  const auto& bin = adopted["args"][0].get_binary();
  EXPECT_EQ(bin.data(), frameMemory);
  EXPECT_FALSE(bin.has_subtype());
  EXPECT_EQ(static_cast<const std::vector<uint8_t>&>(bin), payload);

  // Deep inside the tree, after other values, it is found all the same.
  const IpcValue nested = {
      {"seq", 1}, {"args", {"before", {{{"k", IpcValue::binary(payload)}}}, 42}}, {"z", "after"}};
  auto nestedBody = IpcValue::to_msgpack(nested);
  frameMemory = nestedBody.data();
  const IpcValue n = decodeBody(std::move(nestedBody));
  EXPECT_EQ(n, nested);
  EXPECT_EQ(n["args"][1][0]["k"].get_binary().data(), frameMemory);

  // Two buffers, neither more than half of the body: both copied, both right.
  std::vector<uint8_t> half(payload.begin(), payload.begin() + payload.size() / 2);
  const IpcValue two = {{"seq", 1}, {"args", {IpcValue::binary(half), IpcValue::binary(half)}}};
  EXPECT_EQ(decodeBody(IpcValue::to_msgpack(two)), two);
}

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

TEST(IpcFrame, RandomBytesNeverCrashTheScannerOrDecoder) {
  std::mt19937 rng(42);
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> b(rng() % 64);
    for (auto& c : b) c = uint8_t(rng());
    if (!b.empty() && rng() % 2) b[0] = uint8_t(0x80 | (rng() % 16));  // often a map
    try {
      decodeBody(b);
    } catch (const std::invalid_argument&) {
    }
  }
}

}  // namespace
}  // namespace zelvo::platform
