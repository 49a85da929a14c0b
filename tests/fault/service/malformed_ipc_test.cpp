// Malformed IPC: while a kernel runs and the system proxy points at it, many
// clients at once send the daemon everything a broken or hostile peer could:
// random bytes, cut-off headers and bodies, absurd lengths, bad MessagePack,
// requests of the wrong shape for the very operations that change the
// system, and valid requests whose sender vanishes before the reply. The
// daemon must close each of them, keep serving a well-behaved client without
// delay, and leave the kernel, the system proxy and its own resources exactly
// as they were.
#include <atomic>
#include <random>
#include <thread>

#include "fault/fault_support.h"
#include "support/raw_connection.h"

namespace zelvo::testing::fault {
namespace {

using platform::IpcValue;

constexpr int kSenders = 4;
constexpr int kConnectionsPerSender = 100;

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class MalformedIpcTest : public FaultTest {
 protected:
  // One bad connection of kind `kind`. Returns false when the daemon failed
  // to do what that kind requires of it.
  bool misbehave(int kind, std::mt19937& rng, std::string* what) {
    RawConnection c(root_.socketPath());
    if (!c.connected()) {
      *what = "could not connect";
      return false;
    }
    // Complete frames that break the protocol must make the daemon close the
    // connection; bytes that end early are simply abandoned by the client.
    bool mustBeClosed = true;
    switch (kind) {
      case 0:  // random bytes, a random header included
        c.sendBytes(randomBytes(rng, 1 + rng() % 2048));
        mustBeClosed = false;
        break;
      case 1:  // a random body behind its true length
        c.sendBytes(rawFrame(randomBytes(rng, 1 + rng() % 1024)));
        break;
      case 2:  // a header cut short
        c.sendBytes(std::vector<uint8_t>(1 + rng() % 3, 0x10));
        mustBeClosed = false;
        break;
      case 3:  // a length of 0 or beyond 256 MiB
        c.sendBytes(le32(rng() % 2 ? 0u : 256u * 1024 * 1024 + 1 + rng() % 1000));
        break;
      case 4:  // a promise of 64 KiB, 1 KiB of it, then gone
        c.sendBytes(concat(le32(64 * 1024), randomBytes(rng, 1024)));
        mustBeClosed = false;
        break;
      case 5:  // bytes that are no MessagePack
        c.sendBytes(rawFrame({0xc1, 0xc1, 0xc1}));
        break;
      case 6:  // a proxy change with a string for a port
        c.sendBytes(requestFrame(
            1, "setSystemProxyWithHost:httpPort:socksPort:completion:", {"10.9.9.9", "1", 2}));
        break;
      case 7:  // a start with no configuration, or with a number for it
        c.sendBytes(rng() % 2
                        ? requestFrame(1, "startProxyWithConfig:completion:", IpcValue::array())
                        : requestFrame(1, "startProxyWithConfig:completion:", {7}));
        break;
      case 8:  // a valid request, and the client gone before the reply
        if (rng() % 2) {
          c.request(1, "getProxyStatusWithCompletion:", IpcValue::array());
        } else {
          c.request(1, "kernelQueryWithMethod:data:completion:", {"getProxies", ""});
        }
        mustBeClosed = false;
        break;
      case 9: {  // a good request, then junk on the same connection
        c.request(1, "getVersionWithCompletion:", IpcValue::array());
        c.sendBytes(rawFrame({0x93, 1, 2, 3}));
        break;
      }
    }
    if (mustBeClosed && !c.closedByPeer(std::chrono::seconds(10))) {
      *what = "kind " + std::to_string(kind) + " was not closed by the daemon";
      return false;
    }
    return true;
  }
};

TEST_F(MalformedIpcTest, ABarrageOfBadClientsLeavesEverythingAsItWas) {
  ASSERT_NO_FATAL_FAILURE(startFaultDaemon());
  const uint16_t port = freePort();
  startKernel(config(port));
  auto set = client_->setSystemProxy("127.0.0.1", port, port);
  ASSERT_TRUE(set.ok() && *set);
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  const int fdsWithKernel = settledFdCount();
  const size_t invalidatedBefore = daemon_->countLog("Connection invalidated");
  const size_t proxyChangesBefore = daemon_->countLog("configureSystemProxy:");

  // A well-behaved client keeps asking throughout, and is never kept waiting.
  std::atomic<bool> barrage{true};
  std::atomic<int> goodAnswers{0}, goodFailures{0};
  std::atomic<int64_t> slowestMicros{0};
  std::thread good([&] {
    while (barrage) {
      const auto t0 = Clock::now();
      auto v = client_->getVersion();
      const auto us =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
      slowestMicros = std::max<int64_t>(slowestMicros, us);
      (v.ok() ? goodAnswers : goodFailures)++;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  std::vector<std::thread> senders;
  std::vector<std::string> problems(kSenders);
  for (int t = 0; t < kSenders; ++t) {
    senders.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      for (int i = 0; i < kConnectionsPerSender && problems[t].empty(); ++i) {
        misbehave((t + i) % 10, rng, &problems[t]);
      }
    });
  }
  for (auto& s : senders) s.join();
  barrage = false;
  good.join();
  for (const auto& p : problems) EXPECT_EQ(p, "");

  // Every bad connection has ended, whoever ended it.
  const size_t bad = kSenders * kConnectionsPerSender;
  EXPECT_TRUE(eventually(
      [&] { return daemon_->countLog("Connection invalidated") >= invalidatedBefore + bad; }, 20.0))
      << daemon_->countLog("Connection invalidated") - invalidatedBefore << " of " << bad
      << " bad connections ended";
  EXPECT_EQ(goodFailures.load(), 0);
  EXPECT_GT(goodAnswers.load(), 0);
  EXPECT_LT(slowestMicros.load(), 2'000'000) << "the good client waited " << slowestMicros << " us";
  EXPECT_TRUE(client_->isConnected()) << "the good client's connection was disturbed";

  // Nothing reached the kernel or the system proxy: the same kernel, driven
  // once, serving; not one proxy change beyond the client's own.
  EXPECT_EQ(onlyKernelPid(root_), kernel);
  EXPECT_EQ(kernelReceived(root_, "setupConfig"), 1u);
  EXPECT_EQ(daemon_->countLog("configureSystemProxy:"), proxyChangesBefore);
  EXPECT_EQ(queryJson("getConfig")["listening"], Json::array({port}));
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::on(port, port), fdsWithKernel));

  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok() && *stopped);
  ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::on(port, port)));
  std::cout << "[ fault ] malformed IPC connections: " << bad << "; the good client got "
            << goodAnswers << " answers meanwhile, the slowest after " << slowestMicros / 1000
            << " ms\n";
}

}  // namespace
}  // namespace zelvo::testing::fault
