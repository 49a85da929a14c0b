// Nothing a peer sends hurts the daemon: each kind of bad input closes only
// the connection it came on (its invalidation is logged) while other clients
// keep being served, and a large length promise commits no memory.
#include <random>

#include "client/helper_client.h"
#include "platform/ipc_frame.h"
#include "service_test_support.h"

namespace zelvo::testing {
namespace {

using namespace std::chrono_literals;
using platform::IpcValue;

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<DaemonProcess>(root_);
    good_ = root_.client();
    ASSERT_TRUE(good_->getVersion().ok());
  }
  void TearDown() override {
    // The client that behaved was never disturbed: same connection throughout.
    EXPECT_TRUE(good_->isConnected());
    EXPECT_TRUE(daemon_->running());
  }

  // Sends `bytes` on a fresh connection and expects the daemon to close it
  // and log one more invalidation, and the good client to be served.
  void expectRefused(const std::string& what, const std::vector<uint8_t>& bytes) {
    SCOPED_TRACE(what);
    size_t before = daemon_->countLog("Connection invalidated");
    RawConnection bad(root_.socketPath());
    ASSERT_TRUE(bad.connected());
    bad.sendBytes(bytes);
    EXPECT_TRUE(bad.closedByPeer()) << "the daemon kept a connection that sent " << what;
    EXPECT_TRUE(daemon_->waitForLog("Connection invalidated", 5s));
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (daemon_->countLog("Connection invalidated") < before + 1 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(daemon_->countLog("Connection invalidated"), before + 1);
    auto v = good_->getVersion();
    ASSERT_TRUE(v.ok()) << v.error->localizedDescription();
    EXPECT_EQ(*v, "1.0.5");
  }

  SandboxRoot root_;
  std::unique_ptr<DaemonProcess> daemon_;
  std::unique_ptr<HelperClient> good_;
};

TEST_F(BadInput, MalformedFramesAndMessages) {
  expectRefused("a zero length", le32(0));
  expectRefused("a length above 256 MiB", le32(256u * 1024 * 1024 + 1));
  expectRefused("the largest length", le32(0xffffffffu));
  expectRefused("an undecodable body", rawFrame({0xc1, 0xc1}));
  expectRefused("a body that is not a map", rawFrame({0x93, 1, 2, 3}));
  expectRefused("deep nesting", rawFrame(std::vector<uint8_t>(100000, 0x91)));
  expectRefused("a count larger than the body", rawFrame({0xdf, 0xff, 0xff, 0xff, 0xff}));
  expectRefused("invalid UTF-8",
                requestFrame(1, "getVersionWithCompletion:\xff", IpcValue::array()));
  expectRefused("a map without seq", platform::encodeFrame({{"sel", "getVersionWithCompletion:"},
                                                            {"args", IpcValue::array()}}));
  expectRefused("seq 0", requestFrame(0, "getVersionWithCompletion:", IpcValue::array()));
  expectRefused("negative seq", requestFrame(-3, "getVersionWithCompletion:", IpcValue::array()));
}

TEST_F(BadInput, RequestsThatDoNotFitTheProtocol) {
  expectRefused("an unknown selector", requestFrame(1, "rmRfWithCompletion:", IpcValue::array()));
  expectRefused("a selector in the wrong form", requestFrame(1, "getVersion", IpcValue::array()));
  expectRefused("too many arguments", requestFrame(1, "getVersionWithCompletion:", {1}));
  expectRefused("too few arguments",
                requestFrame(1, "setSystemProxyWithHost:httpPort:socksPort:completion:", {"h", 1}));
  expectRefused("a string for an Int",
                requestFrame(1, "setSystemProxyWithHost:httpPort:socksPort:completion:",
                             {"h", "7890", 7891}));
  expectRefused("an Int beyond int64",
                requestFrame(1, "setSystemProxyWithHost:httpPort:socksPort:completion:",
                             {"h", uint64_t(1) << 63, 1}));
  expectRefused("an int for a Bool", requestFrame(1, "updateTunWithEnable:completion:", {1}));
  expectRefused("nil for a string", requestFrame(1, "setRouteModeWithMode:completion:", {nullptr}));
  expectRefused("a string for the kernel's bytes",
                requestFrame(1, "installKernelWithBinaryData:completion:", {"#!/bin/sh"}));
  expectRefused("a disallowed class for the kernel's bytes",
                requestFrame(1, "installKernelWithBinaryData:completion:",
                             IpcValue::array({{{"$class", "NSArray"}}})));
  expectRefused("a ProxyStatus where NSData is allowed",
                requestFrame(1, "installKernelWithBinaryData:completion:",
                             IpcValue::array({ProxyStatus::stoppedRecord().toArchive()})));
}

TEST_F(BadInput, RandomBytes) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 40; ++i) {
    std::vector<uint8_t> junk(1 + rng() % 512);
    for (auto& b : junk) b = uint8_t(rng());
    // A small length, so the junk is a complete frame to be judged.
    auto f = rawFrame(junk);
    RawConnection bad(root_.socketPath());
    bad.sendBytes(f);
    ASSERT_TRUE(bad.closedByPeer()) << "frame " << i;
    EXPECT_TRUE(daemon_->running());
  }
  EXPECT_TRUE(good_->getVersion().ok());
}

TEST_F(BadInput, ALengthPromiseCommitsOnlyWhatArrives) {
  long before = daemon_->rssKiB();
  ASSERT_GT(before, 0);
  RawConnection silent(root_.socketPath());
  auto promise = le32(200u * 1024 * 1024);
  std::vector<uint8_t> some(1024, 0x91);
  promise.insert(promise.end(), some.begin(), some.end());
  silent.sendBytes(promise);
  // A second one that actually sends 4 MiB of its 200.
  RawConnection partial(root_.socketPath());
  partial.sendBytes(le32(200u * 1024 * 1024));
  partial.sendBytes(std::vector<uint8_t>(4u << 20, 0xc0));
  ASSERT_TRUE(good_->getVersion().ok());  // the daemon has read what it could by now
  std::this_thread::sleep_for(200ms);
  long after = daemon_->rssKiB();
  EXPECT_LT(after - before, 32 * 1024) << "RSS grew from " << before << " KiB to " << after;
  EXPECT_FALSE(silent.closedByPeer(100ms));  // incomplete, not wrong: still open
}

}  // namespace
}  // namespace zelvo::testing
