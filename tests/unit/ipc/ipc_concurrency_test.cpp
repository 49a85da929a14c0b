// The IPC layer under concurrency.
#include <future>

#include "client/helper_client.h"
#include "ipc_test_support.h"

namespace zelvo::platform::test {
namespace {

using IpcConcurrency = IpcListenerTest;

// Even values are answered later from a global queue, so replies overtake each
// other; every third call is immediate. Then the listener goes mid-flight.
TEST_F(IpcConcurrency, EveryCallGetsItsOwnReplyOnceAndTeardownFailsTheRestOnce) {
  start([](const IpcMethod&, IpcValue args, IpcReply reply) {
    if (args[0].get<int64_t>() % 2) return reply(args);
    globalQueue(QoS::Utility).after(Seconds(0.001), [reply, args] {
      reply(args);
      reply(IpcValue::array({-1}));  // ignored
    });
  });
  constexpr int kConnections = 16, kThreadsEach = 4, kCallsEach = 150;
  std::vector<std::shared_ptr<IpcClientConnection>> conns;
  for (int i = 0; i < kConnections; ++i)
    conns.push_back(IpcClientConnection::connect(path_, testInterface()));
  std::atomic<int> sent{0}, calls{0}, right{0};
  std::atomic<bool> stop{false};
  auto run = [&](int t, int64_t n) {
    for (int64_t i = 0; i < n && !stop; ++i) {
      const int64_t value = int64_t(t) << 32 | i;
      ++sent;
      conns[t % kConnections]->send(i % 3 ? "hold:completion:" : "now:completion:", {value},
                                    [&, value](IpcResult r) {
                                      ++calls;
                                      right += r.ok() && (*r.reply)[0] == value;
                                    });
      if (i % 64 == 63) std::this_thread::sleep_for(1ms);
    }
  };
  for (int64_t n : {int64_t(kCallsEach), INT64_MAX}) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kConnections * kThreadsEach; ++t) threads.emplace_back(run, t, n);
    if (n == INT64_MAX) {  // tear down while they keep sending
      std::this_thread::sleep_for(200ms);
      listener_->invalidate();
      std::this_thread::sleep_for(50ms);
      stop = true;
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(eventually([&] { return calls >= sent; }, 60s)) << calls << " of " << sent;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), sent.load()) << "a completion ran twice";
    if (n == kCallsEach) {
      EXPECT_EQ(right.load(), sent.load()) << "failed, or another's reply";
    }
  }
  for (auto& c : conns) EXPECT_FALSE(c->isValid());
  EXPECT_TRUE(eventually([&] { return invalidationCount() == kConnections; }));
}

// The steady client calls until the churn is over and it made kMinCalls calls.
TEST_F(IpcConcurrency, ClientsComeAndGoWhileOthersWork) {
  start();
  constexpr int kChurners = 4, kChurnEach = 50, kMinCalls = 100;
  std::atomic<bool> churnDone{false};
  std::atomic<int> calls{0}, ok{0};
  std::thread steady([&] {
    auto conn = IpcClientConnection::connect(path_, testInterface());
    const auto giveUp = unit::Clock::now() + 60s;
    while ((!churnDone || calls < kMinCalls) && unit::Clock::now() < giveUp) {
      auto done = std::make_shared<Semaphore>();  // may outlive this iteration
      const std::string mine = "x" + std::to_string(++calls);
      conn->send("echo:completion:", {mine}, [&, done, mine](IpcResult r) {
        ok += r.ok() && (*r.reply)[0] == mine;
        done->signal();
      });
      if (!done->waitFor(Seconds(10))) break;
    }
  });
  std::vector<std::thread> churn;
  for (int t = 0; t < kChurners; ++t) {
    churn.emplace_back([&] {
      for (int i = 0; i < kChurnEach; ++i) {
        RawClient c(path_);
        if (i % 3 == 0) c.sendBytes({0, 0, 0, 0});  // a bad frame: dropped by the listener
        if (i % 3 == 1) c.request(1, "echo:completion:", {"y"});
      }
    });
  }
  for (auto& t : churn) t.join();
  churnDone = true;
  steady.join();
  EXPECT_GE(calls.load(), kMinCalls);
  EXPECT_EQ(ok.load(), calls.load()) << "a steady call failed or was lost";
  EXPECT_TRUE(eventually([&] { return invalidationCount() == kChurners * kChurnEach + 1; }));
}

// However slowly a helper takes a request, it holds its caller no longer than the send limit:
// the connection breaks as timed out, not as if the helper had gone.
TEST(IpcClient, NoRequestOutlastsTheSendLimitHoweverSlowlyTheHelperReads) {
  const unit::TempDir dir;
  const int server = listeningAt(dir.path + "/slow.sock");
  std::thread helper([server] {
    const int fd = ::accept(server, nullptr, nullptr);
    char sink[16384];  // 800 KB/s: 8 MiB would take 10 s
    while (::read(fd, sink, sizeof sink) > 0) std::this_thread::sleep_for(20ms);
    ::close(fd);
  });
  auto conn = IpcClientConnection::connect(dir.path + "/slow.sock", testInterface(), {}, 1s);
  std::atomic<long> code{-1}, interrupted{0};
  conn->setInterruptionHandler([&] { ++interrupted; });
  const auto t0 = unit::Clock::now();
  conn->send("echo:completion:", {std::string(8 << 20, 'x')},
             [&](const IpcResult& r) { code = r.error ? r.error->code() : 0; });
  ASSERT_TRUE(unit::secondsSince(t0) < 2.0 && eventually([&] { return code != -1; }));
  conn.reset();  // only once the reader has dealt with the failure
  EXPECT_EQ(code, kIpcTimedOut);
  EXPECT_EQ(interrupted, 0);
  ::shutdown(server, SHUT_RDWR), helper.join(), ::close(server);
}

// A client destroyed in a completion fails its other pending calls before its destructor returns
// and refuses those that call back in then, rather than connect anew.
TEST(IpcClient, AClientDestroyedInACompletionFailsTheRestAtOnceAndConnectsNoMore) {
  const unit::TempDir dir;
  const int server = listeningAt(dir.path + "/helper.sock");
  std::promise<void> sent;
  std::thread helper([&] {  // answers the first of three requests, once all are sent
    int err = 0, fd = ::accept(server, nullptr, nullptr);
    std::vector<IpcValue> asked;
    while (asked.size() < 3) asked.push_back(decodeBody(*readFrame(fd, &err)));
    sent.get_future().wait();
    const auto reply = encodeFrame({{"seq", asked[0]["seq"]}, {"reply", {"1.0.5"}}});
    writeAll(fd, reply.data(), reply.size());
    while (readFrame(fd, &err)) continue;
    ::close(fd);
  });
  auto client = std::make_unique<HelperClient>(dir.path + "/helper.sock");
  std::vector<long> failed;              // on the reader thread
  std::atomic<long> failedWhenGone{-1};  // set last, once the client is gone
  client->getVersion([&](auto) { client.reset(), failedWhenGone = failed.size(); });
  for (int i = 0; i < 2; ++i) {
    client->flushDNS([&, raw = client.get()](Result<bool> r) {
      failed.push_back(r.error ? r.error->code() : 0);
      raw->getVersion([](auto) {});
    });
  }
  sent.set_value();
  EXPECT_TRUE(eventually([&] { return failedWhenGone != -1; }));
  EXPECT_EQ(failedWhenGone, 2);
  EXPECT_EQ(failed, std::vector<long>(2, kIpcConnectionInvalid));
  pollfd another{server, POLLIN, 0};
  EXPECT_EQ(::poll(&another, 1, 0), 0) << "connected anew";
  helper.join(), ::close(server);
}

}  // namespace
}  // namespace zelvo::platform::test
