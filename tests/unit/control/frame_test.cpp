// Frames on the control socket, byte by byte, in both directions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include "control_peer.h"

namespace zelvo::controltest {
namespace {

// The connection without a reader loop, so that the test itself calls
// recvFrame() as the reader would.
struct FrameTest : ::testing::Test {
  Wired wired{/*startReader=*/false};
  KernelProcessManager& m = *wired.manager;
  int peer = wired.peerFd;
};

TEST_F(FrameTest, WritesLittleEndianLengthThenCompactBody) {
  // Sized so that the body is exactly 300 bytes.
  const size_t overhead = Json{{"id", "1"}, {"method", "m"}, {"data", ""}}.dump().size();
  const std::string data(300 - overhead, 'x');
  ASSERT_TRUE(m.writeFrame("1", "m", data));

  std::string bytes(304, '\0');
  ASSERT_TRUE(readBytes(peer, bytes.data(), bytes.size()));
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x2C);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x01);
  EXPECT_EQ(static_cast<unsigned char>(bytes[2]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(bytes[3]), 0x00);
  const std::string body = bytes.substr(4);
  const Json parsed = Json::parse(body);
  EXPECT_EQ(parsed, (Json{{"id", "1"}, {"method", "m"}, {"data", data}}));
  EXPECT_EQ(parsed.size(), 3u);
  EXPECT_EQ(body.find(' '), std::string::npos) << "body must be compact";
}

TEST_F(FrameTest, PayloadsKeepTheirTypesAndNonAsciiGoesOutAsUtf8) {
  ASSERT_TRUE(m.writeFrame("7", "getTraffic", false));
  ASSERT_TRUE(m.writeFrame("8", "setupConfig", "名字: \"值\"\n"));
  ASSERT_TRUE(m.writeFrame("9", "x", Json{{"a", Json::array({1, 2})}}));

  auto first = readRawFrame(peer);
  ASSERT_TRUE(first);
  EXPECT_EQ(Json::parse(*first), (Json{{"id", "7"}, {"method", "getTraffic"}, {"data", false}}));
  auto second = readRawFrame(peer);
  ASSERT_TRUE(second);
  EXPECT_NE(second->find("名字"), std::string::npos) << "non-ASCII must not be \\u-escaped";
  EXPECT_EQ(Json::parse(*second)["data"], "名字: \"值\"\n");
  auto third = readRawFrame(peer);
  ASSERT_TRUE(third);
  EXPECT_EQ(Json::parse(*third)["data"], (Json{{"a", Json::array({1, 2})}}));
}

TEST_F(FrameTest, InvalidUtf8IsReplacedNotThrown) {
  bool ok = false;
  EXPECT_NO_THROW(ok = m.writeFrame("1", "setupConfig",
                                    std::string("a\xff\xfe"
                                                "b")));
  EXPECT_TRUE(ok);
  auto body = readRawFrame(peer);
  ASSERT_TRUE(body);
  EXPECT_EQ(Json::parse(*body)["data"],
            "a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
}

TEST_F(FrameTest, WriteWithoutConnectionOrToAClosedPeerFails) {
  ::close(peer);
  wired.peerFd = -1;
  // The peer is gone: the write fails (and does not raise SIGPIPE).
  EXPECT_FALSE(m.writeFrame("1", "m", std::string(1 << 20, 'x')));

  m.closeControlSocket();
  EXPECT_EQ(m.controlFd(), -1);
  EXPECT_FALSE(m.writeFrame("2", "m", ""));
}

TEST_F(FrameTest, HeaderInTwoPiecesAndBodyInManyAreReassembled) {
  const std::string body = R"({"id":"3","code":0,"data":"reassembled from many small pieces"})";
  const std::string header = lengthHeader(static_cast<uint32_t>(body.size()));
  std::thread writer([&] {
    writeBytes(peer, header.data(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeBytes(peer, header.data() + 2, 2);
    for (size_t i = 0; i < body.size(); i += 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      writeBytes(peer, body.data() + i, std::min<size_t>(5, body.size() - i));
    }
  });
  const std::optional<Json> frame = m.recvFrame();
  writer.join();
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, Json::parse(body));
}

TEST_F(FrameTest, ZeroLengthIsRefused) {
  ASSERT_TRUE(writeBytes(peer, "\0\0\0\0", 4));
  EXPECT_FALSE(m.recvFrame());
}

TEST_F(FrameTest, ThirtyTwoMebibyteLengthIsRefusedWithoutWaitingForABody) {
  const std::string header = lengthHeader(0x02000000);
  ASSERT_TRUE(writeBytes(peer, header.data(), 4));
  // No body follows: refusing must not depend on one arriving.
  EXPECT_FALSE(m.recvFrame());
}

TEST_F(FrameTest, LargestAllowedLengthIsRead) {
  const uint32_t length = 0x01FFFFFF;
  const std::string prefix = R"({"id":"1","data":")";
  const std::string suffix = R"("})";
  std::string body = prefix + std::string(length - prefix.size() - suffix.size(), 'y') + suffix;
  ASSERT_EQ(body.size(), length);
  std::thread writer([&] { sendRawFrame(peer, body); });
  const std::optional<Json> frame = m.recvFrame();
  writer.join();
  ASSERT_TRUE(frame);
  EXPECT_EQ((*frame)["id"], "1");
  EXPECT_EQ((*frame)["data"].get_ref<const std::string&>().size(),
            length - prefix.size() - suffix.size());
}

TEST_F(FrameTest, ArrayBodyIsRefused) {
  ASSERT_TRUE(sendRawFrame(peer, R"([{"id":"1"}])"));
  EXPECT_FALSE(m.recvFrame());
}

TEST_F(FrameTest, NonJsonBodyIsRefused) {
  ASSERT_TRUE(sendRawFrame(peer, R"({"id":"1",)"));
  EXPECT_FALSE(m.recvFrame());
}

TEST_F(FrameTest, PeerClosingMidBodyYieldsNoFrame) {
  const std::string header = lengthHeader(100);
  ASSERT_TRUE(writeBytes(peer, header.data(), 4));
  ASSERT_TRUE(writeBytes(peer, R"({"id":"1",)", 10));
  ::shutdown(peer, SHUT_WR);
  EXPECT_FALSE(m.recvFrame());
}

TEST_F(FrameTest, FramesFollowBackToBack) {
  const std::string a = R"({"id":"1"})", b = R"({"id":"2","data":[1,2]})";
  const std::string stream = lengthHeader(a.size()) + a + lengthHeader(b.size()) + b;
  ASSERT_TRUE(writeBytes(peer, stream.data(), stream.size()));
  auto first = m.recvFrame();
  auto second = m.recvFrame();
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)["id"], "1");
  EXPECT_EQ((*second)["data"], Json::array({1, 2}));
}

TEST(FrameNoConnection, ReadAndWriteRefuseWithoutDescriptor) {
  sandboxRoot();
  auto m = std::make_shared<KernelProcessManager>();
  EXPECT_FALSE(m->writeFrame("1", "m", ""));
  EXPECT_FALSE(m->recvFrame());
}

}  // namespace
}  // namespace zelvo::controltest
