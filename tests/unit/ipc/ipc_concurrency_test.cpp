// The IPC layer under concurrency (also run under ThreadSanitizer): many
// client connections sending from several threads each, replies sent from
// the connection queue and from other threads, and tearing the listener down
// while calls are in flight.
#include "ipc_test_support.h"

namespace zelvo::platform::test {
namespace {

using namespace std::chrono_literals;

using IpcConcurrency = ListenerFixture;

TEST_F(IpcConcurrency, EveryCallGetsItsOwnReplyExactlyOnce) {
  // Odd values are answered at once on the connection's queue, even ones
  // from a global queue, so replies overtake each other. Every third call is
  // of an immediate method, served on the I/O thread whenever its
  // connection's queue is idle.
  setHandler([](const IpcMethod&, IpcValue args, IpcReply reply) {
    if (args[0].get<int64_t>() % 2) {
      reply(args);
    } else {
      globalQueue(QoS::Utility).async([reply, args] {
        reply(args);
        reply(IpcValue::array({-1}));  // ignored
      });
    }
  });
  constexpr int kConnections = 16, kThreadsEach = 4, kCallsEach = 150;
  std::vector<std::shared_ptr<IpcClientConnection>> conns;
  for (int i = 0; i < kConnections; ++i) {
    conns.push_back(IpcClientConnection::connect(path_, testInterface()));
  }
  std::atomic<int> right{0}, wrong{0}, failed{0}, calls{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    for (int t = 0; t < kThreadsEach; ++t) {
      threads.emplace_back([&, c, t] {
        for (int i = 0; i < kCallsEach; ++i) {
          int64_t value = (int64_t(c) << 32) | (int64_t(t) << 16) | i;
          const char* selector = i % 3 ? "hold:completion:" : "now:completion:";
          conns[c]->send(selector, {value}, [&, value](IpcResult r) {
            ++calls;
            if (!r.ok()) {
              ++failed;
            } else if ((*r.reply)[0].get<int64_t>() == value) {
              ++right;
            } else {
              ++wrong;
            }
          });
        }
      });
    }
  }
  for (auto& t : threads) t.join();
  const int total = kConnections * kThreadsEach * kCallsEach;
  ASSERT_TRUE(eventually([&] { return calls.load() >= total; }, 60s)) << calls.load();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls.load(), total) << "a completion ran twice";
  EXPECT_EQ(right.load(), total);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0);
  conns.clear();
  EXPECT_TRUE(eventually([&] { return invalidationCount() == size_t(kConnections); }));
}

TEST_F(IpcConcurrency, TearingDownWhileCallsAreInFlightFailsEachCallOnce) {
  setHandler([](const IpcMethod&, IpcValue args, IpcReply reply) {
    globalQueue(QoS::Default).after(Seconds(0.001), [reply, args] { reply(args); });
  });
  constexpr int kConnections = 8;
  std::vector<std::shared_ptr<IpcClientConnection>> conns;
  for (int i = 0; i < kConnections; ++i) {
    conns.push_back(IpcClientConnection::connect(path_, testInterface()));
  }
  std::atomic<int> completions{0}, sent{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int c = 0; c < kConnections; ++c) {
    senders.emplace_back([&, c] {
      for (int64_t i = 0; !stop.load(); ++i) {
        ++sent;
        conns[c]->send("hold:completion:", {i}, [&](IpcResult) { ++completions; });
        if (i % 64 == 0) std::this_thread::sleep_for(1ms);
      }
    });
  }
  std::this_thread::sleep_for(200ms);
  listener_->invalidate();
  std::this_thread::sleep_for(50ms);
  stop = true;
  for (auto& t : senders) t.join();
  EXPECT_TRUE(eventually([&] { return completions.load() == sent.load(); }, 10s))
      << completions.load() << " of " << sent.load();
  for (auto& c : conns) EXPECT_FALSE(c->isValid());
  // A later call on a dead connection fails before send() returns.
  bool later = false;
  conns[0]->send("echo:completion:", {"x"}, [&](IpcResult r) { later = !r.ok(); });
  EXPECT_TRUE(later);
  // Every server-side connection ran its handler once.
  EXPECT_TRUE(eventually([&] { return invalidationCount() == size_t(kConnections); }));
}

TEST_F(IpcConcurrency, ClientsComeAndGoWhileOthersWork) {
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, bad{0};
  std::thread steady([&] {
    auto conn = IpcClientConnection::connect(path_, testInterface());
    while (!stop.load()) {
      // Shared, so that the waiter cannot destroy it while signal() returns.
      auto done = std::make_shared<Semaphore>();
      conn->send("echo:completion:", {"x"}, [&, done](IpcResult r) {
        (r.ok() ? ok : bad)++;
        done->signal();
      });
      done->wait();
    }
  });
  std::vector<std::thread> churn;
  for (int t = 0; t < 4; ++t) {
    churn.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        RawClient c(path_);
        if (i % 3 == 0) c.sendBytes({0, 0, 0, 0});  // bad frame: dropped by the server
        if (i % 3 == 1) c.request(1, "echo:completion:", {"y"});
      }
    });
  }
  for (auto& t : churn) t.join();
  stop = true;
  steady.join();
  EXPECT_GT(ok.load(), 0);
  EXPECT_EQ(bad.load(), 0);
  // The 200 short-lived connections and the steady one, closed when its thread ended.
  EXPECT_TRUE(eventually([&] { return invalidationCount() == 201; })) << invalidationCount();
}

}  // namespace
}  // namespace zelvo::platform::test
