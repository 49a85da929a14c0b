// Frames on the control socket at the byte level: the header written, and
// the largest body read. Split, back-to-back and malformed frames run against
// the daemon in tests/fault/control.
#include <gtest/gtest.h>

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

TEST_F(FrameTest, WritesALittleEndianLengthAndACompactUtf8Body) {
  // Sized so that the body is exactly 300 bytes.
  const std::string data = "名字:\"值\"\xff!";
  const std::string sent = "名字:\"值\"\xEF\xBF\xBD!";  // a malformed byte is replaced
  const size_t overhead = Json{{"id", "1"}, {"method", "m"}, {"data", sent}}.dump().size();
  const std::string padding(300 - overhead, 'x');
  bool ok = false;
  EXPECT_NO_THROW(ok = m.writeFrame("1", "m", data + padding));
  EXPECT_TRUE(ok);

  std::string bytes(304, '\0');
  ASSERT_TRUE(readBytes(peer, bytes.data(), bytes.size()));
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x2C\x01\x00\x00", 4));
  const std::string body = bytes.substr(4);
  EXPECT_EQ(Json::parse(body), (Json{{"id", "1"}, {"method", "m"}, {"data", sent + padding}}));
  EXPECT_EQ(body.find(' '), std::string::npos) << "body must be compact";
  EXPECT_NE(body.find("名字"), std::string::npos) << "non-ASCII must not be \\u-escaped";
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

}  // namespace
}  // namespace zelvo::controltest
