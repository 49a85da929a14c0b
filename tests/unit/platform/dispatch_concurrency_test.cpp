// Dispatch under real threads. Work captures shared state, never a test's stack.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/dispatch.h"
#include "unit/unit_support.h"

namespace zelvo::platform {
namespace {

using namespace std::chrono_literals;
using unit::eventually;
using unit::secondsSince;
using Clock = std::chrono::steady_clock;
using Count = std::shared_ptr<std::atomic<int>>;

Count count() {
  return std::make_shared<std::atomic<int>>(0);
}

// Fifty items that finish only once all fifty run at the same moment, behind
// one that never returns: a fixed pool smaller than 51 deadlocks.
TEST(GlobalQueue, ABlockedItemDoesNotStopOthers) {
  auto blocker = std::make_shared<Semaphore>(0);
  globalQueue(QoS::Utility).async([blocker] { blocker->wait(); });
  Count started = count(), together = count();
  for (int i = 0; i < 50; ++i) {
    globalQueue(QoS::Utility).async([started, together] {
      ++*started;
      *together += eventually([&] { return *started == 50; }, 20s);
    });
  }
  EXPECT_TRUE(eventually([&] { return *together == 50; }, 30s));
  blocker->signal();
}

// Items run one at a time in each submitter's order, queued or run inline by
// runIfIdle (every 50th insists until the queue is idle; a refused item must be
// left intact for async()), and none is lost.
TEST(SerialQueue, OneAtATimeInEachSubmittersOrderInlineRunsIncluded) {
  auto q = makeSerialQueue("test.serial");
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<int> lastSeen(kThreads, -1);  // touched only by the queue's items
  std::atomic<int> inside{0}, overlaps{0}, outOfOrder{0}, inlined{0}, done{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Work w = [&, t, i] {
          overlaps += inside++ != 0;
          outOfOrder += lastSeen[t] != i - 1;
          lastSeen[t] = i;
          if (i % 100 == 0) std::this_thread::sleep_for(1ms);
          --inside;
          ++done;
        };
        if (i % 50 == 0 ? eventually([&] { return runIfIdle(*q, w); })
                        : (i + t) % 2 == 0 && runIfIdle(*q, w)) {
          ++inlined;
        } else {
          q->async(std::move(w));
        }
      }
    });
  }
  for (auto& s : submitters) s.join();
  ASSERT_TRUE(eventually([&] { return done == kThreads * kPerThread; }, 30s));
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_GE(inlined.load(), kThreads * kPerThread / 50);
}

// Slow ticks never overlap, a tick that throws stops none after it, and the
// handler may cancel its own timer without waiting for itself, which breaks
// the cycle handler -> state -> timer.
TEST(RepeatingTimerTest, TicksNeverOverlapOutliveAThrowAndMayCancelTheirOwnTimer) {
  struct State {
    std::atomic<int> inside{0}, overlaps{0}, ticks{0};
    std::mutex mu;
    std::shared_ptr<RepeatingTimer> timer;  // guarded by mu
  };
  auto st = std::make_shared<State>();
  std::weak_ptr<State> watch = st;
  std::unique_lock<std::mutex> lock(st->mu);
  st->timer = RepeatingTimer::start(globalQueue(QoS::Default), Seconds(0), Seconds(0.02), [st] {
    st->overlaps += st->inside++ != 0;
    sleepFor(Seconds(0.1));
    std::lock_guard<std::mutex> l(st->mu);
    const int tick = ++st->ticks;
    if (tick == 4) st->timer->cancel();
    --st->inside;
    if (tick == 1) throw std::runtime_error("a failed tick");
  });
  lock.unlock();
  ASSERT_TRUE(eventually([&] { return st->ticks == 4; }, 5s));
  sleepFor(Seconds(0.3));
  EXPECT_EQ(st->ticks.load(), 4) << "ticked after cancel()";
  EXPECT_EQ(st->overlaps.load(), 0);
  st.reset();
  EXPECT_TRUE(eventually([&] { return watch.expired(); }, 2s));
}

// Dropping the last reference cancels without waiting for a running tick; the
// firings owed meanwhile are dropped, and so is the handler.
TEST(RepeatingTimerTest, DroppingTheLastReferenceCancelsWithoutWaitingForARunningTick) {
  auto release = std::make_shared<Semaphore>(0);
  Count ticks = count();
  std::weak_ptr<Semaphore> watch = release;
  auto timer = RepeatingTimer::start(globalQueue(QoS::Default), Seconds(0), Seconds(0.05), [=] {
    ++*ticks;
    release->wait();
  });
  ASSERT_TRUE(eventually([&] { return *ticks == 1; }, 5s));
  sleepFor(Seconds(0.2));  // firings fall due meanwhile
  const auto t0 = Clock::now();
  timer.reset();
  EXPECT_LT(secondsSince(t0), 0.5);
  release->signal();
  sleepFor(Seconds(0.3));
  EXPECT_EQ(ticks->load(), 1);
  release.reset();
  EXPECT_TRUE(eventually([&] { return watch.expired(); }, 2s));
}

}  // namespace
}  // namespace zelvo::platform
