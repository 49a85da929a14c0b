// The wire framing: reassembly from arbitrary chunks, the length limits, the
// memory committed for a frame in progress, and the pre-decode scan that
// keeps hostile MessagePack away from the decoder.
#include <gtest/gtest.h>

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
