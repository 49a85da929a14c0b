// The IPC layer under concurrency.
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
  EXPECT_TRUE(eventually([&] { return invalidationCount() == kChurners * kChurnEach + 1; }))
      << invalidationCount();
}

}  // namespace
}  // namespace zelvo::platform::test
