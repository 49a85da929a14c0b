// Queues, delayed work, repeating timers and semaphores under real threads.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "support/wait_counter.h"

namespace zelvo::platform {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
  return Seconds(Clock::now() - t0).count();
}

using zelvo::testing::Counter;

// --- Global queues --------------------------------------------------------

TEST(GlobalQueue, ItemBlockedForeverDoesNotStopFiftyOthers) {
  // One item that never returns during the test, then fifty that can only
  // finish once all fifty are running at the same moment: a fixed-size pool
  // smaller than 51 deadlocks here.
  auto blocker = std::make_shared<Semaphore>(0);
  Queue& q = globalQueue(QoS::Utility);
  q.async([blocker] { blocker->wait(); });

  constexpr int kItems = 50;
  auto started = std::make_shared<Counter>();
  auto allTogether = std::make_shared<Counter>();
  for (int i = 0; i < kItems; ++i) {
    q.async([started, allTogether] {
      started->add();
      if (started->waitFor(kItems, Seconds(20))) allTogether->add();
    });
  }
  EXPECT_TRUE(allTogether->waitFor(kItems, Seconds(30)));
  EXPECT_EQ(allTogether->value(), kItems);
  blocker->signal();
}

TEST(GlobalQueue, EachClassIsItsOwnQueueAndOutlivesAnEscapingException) {
  Counter after;
  for (QoS qos : {QoS::UserInitiated, QoS::Default, QoS::Utility}) {
    globalQueue(qos).async([] { throw std::runtime_error("boom"); });
    globalQueue(qos).async([&after] { after.add(); });
  }
  EXPECT_TRUE(after.waitFor(3, Seconds(5)));
  EXPECT_NE(&globalQueue(QoS::UserInitiated), &globalQueue(QoS::Default));
  EXPECT_NE(&globalQueue(QoS::Default), &globalQueue(QoS::Utility));
}

size_t threadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

TEST(GlobalQueue, IdleWorkersRetire) {
  // Grow a queue to many workers, then let it sit.
  Queue& q = globalQueue(QoS::UserInitiated);
  constexpr int kItems = 40;
  // Shared with the items: they may still be returning from wait() when
  // this test's locals would otherwise be gone.
  auto started = std::make_shared<Counter>();
  auto release = std::make_shared<Semaphore>(0);
  for (int i = 0; i < kItems; ++i) {
    q.async([started, release] {
      started->add();
      release->wait();
    });
  }
  ASSERT_TRUE(started->waitFor(kItems, Seconds(20)));
  const size_t peak = threadCount();
  for (int i = 0; i < kItems; ++i) release->signal();

  // Idle workers retire after a few seconds.
  auto t0 = Clock::now();
  size_t now = threadCount();
  while (now > peak - kItems / 2 && secondsSince(t0) < 20) {
    sleepFor(Seconds(0.25));
    now = threadCount();
  }
  EXPECT_LE(now, peak - kItems / 2) << "peak " << peak;
  // And the queue still works afterwards.
  Counter ran;
  q.async([&ran] { ran.add(); });
  EXPECT_TRUE(ran.waitFor(1, Seconds(5)));
}

// --- Serial queues --------------------------------------------------------

// runIfIdle, retried until it claims the queue or ten seconds have passed.
bool runWhenIdle(Queue& q, Work& w) {
  const auto giveUp = Clock::now() + std::chrono::seconds(10);
  while (!runIfIdle(q, w)) {
    if (Clock::now() >= giveUp) return false;
    std::this_thread::yield();
  }
  return true;
}

// Items run one at a time and in each submitter's order, whether queued or
// run on the submitter's thread by runIfIdle (some insist until they find the
// queue idle between the others' items), and none is lost.
TEST(SerialQueue, RunsItemsOneAtATimeInEachSubmittersOrderInlineRunsIncluded) {
  auto q = makeSerialQueue("test.serial.fifo");
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<int> lastSeen(kThreads, -1);  // touched only by the queue's items
  std::atomic<int> inside{0}, overlaps{0}, outOfOrder{0}, inlined{0};
  Counter done;
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Work w = [&, t, i] {
          if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
          if (lastSeen[t] != i - 1) outOfOrder.fetch_add(1);
          lastSeen[t] = i;
          if (i % 100 == 0) std::this_thread::yield();
          inside.fetch_sub(1);
          done.add();
        };
        if (i % 50 == 0 ? runWhenIdle(*q, w) : (i + t) % 2 == 0 && runIfIdle(*q, w)) {
          inlined.fetch_add(1);
        } else {
          q->async(std::move(w));
        }
      }
    });
  }
  for (auto& s : submitters) s.join();
  ASSERT_TRUE(done.waitFor(kThreads * kPerThread, Seconds(30)));
  EXPECT_EQ(done.value(), kThreads * kPerThread);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_GE(inlined.load(), kThreads * kPerThread / 50);
}

TEST(SerialQueue, RunIfIdleRunsOnTheCallerOnlyWhenNothingIsPendingOrRunning) {
  auto q = makeSerialQueue("test.serial.inline");
  // Idle: runs at once, on this thread.
  std::thread::id ranOn;
  Work first = [&] { ranOn = std::this_thread::get_id(); };
  ASSERT_TRUE(runIfIdle(*q, first));
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // Busy with a running item: refused, and the work is left to submit.
  Semaphore entered(0), release(0);
  Counter done;
  q->async([&] {
    entered.signal();
    release.wait();
    done.add();
  });
  ASSERT_TRUE(entered.waitFor(Seconds(10)));
  bool ran = false;
  Work refused = [&] { ran = true; };
  EXPECT_FALSE(runIfIdle(*q, refused));
  EXPECT_FALSE(ran);
  ASSERT_TRUE(static_cast<bool>(refused));
  release.signal();
  ASSERT_TRUE(done.waitFor(1, Seconds(10)));

  // Items submitted while the caller runs one wait for it, then run in order.
  std::vector<int> order;  // touched only by items of the queue
  Work inlineItem = [&] {
    order.push_back(0);
    for (int i = 1; i <= 3; ++i) {
      q->async([&, i] {
        order.push_back(i);
        done.add();
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    order.push_back(-1);  // still alone on the queue
  };
  // The drain job that ran the held item may still be on its way out.
  ASSERT_TRUE(runWhenIdle(*q, inlineItem));
  ASSERT_TRUE(done.waitFor(4, Seconds(10)));
  EXPECT_EQ(order, (std::vector<int>{0, -1, 1, 2, 3}));

  // A global queue is not serial: nothing to claim.
  Work global = [] {};
  EXPECT_FALSE(runIfIdle(globalQueue(QoS::Default), global));
}

// Queues are kept alive by what they owe: items, delayed work and timer ticks
// of a queue nobody references still run, and a serial queue keeps its target
// alive and stays serial.
TEST(SerialQueue, OwedWorkRunsAfterTheLastReferenceIsDropped) {
  auto ran = std::make_shared<Counter>();
  auto ticks = std::make_shared<Counter>();
  auto gate = std::make_shared<Semaphore>(0);
  std::shared_ptr<RepeatingTimer> timer;
  std::shared_ptr<Queue> inner;
  {
    auto q = makeSerialQueue("test.serial.orphan");
    q->async([gate] { gate->wait(); });
    for (int i = 0; i < 10; ++i) q->async([ran] { ran->add(); });
    q->after(Seconds(0.1), [ran] { ran->add(); });
    timer = RepeatingTimer::start(*q, Seconds(0.01), Seconds(0.02), [ticks] { ticks->add(); });
    auto outer = makeSerialQueue("test.serial.outer");
    inner = makeSerialQueue("test.serial.inner", outer.get());
  }
  gate->signal();
  EXPECT_TRUE(ran->waitFor(11, Seconds(5)));
  EXPECT_TRUE(ticks->waitFor(3, Seconds(5)));
  timer->cancel();

  auto inside = std::make_shared<std::atomic<int>>(0);
  auto overlaps = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < 200; ++i) {
    inner->async([ran, inside, overlaps] {
      if (inside->fetch_add(1) != 0) overlaps->fetch_add(1);
      inside->fetch_sub(1);
      ran->add();
    });
  }
  EXPECT_TRUE(ran->waitFor(211, Seconds(10)));
  EXPECT_EQ(overlaps->load(), 0);
}

TEST(SerialQueue, TwoSerialQueuesRunConcurrentlyWithEachOther) {
  // Each serial queue is serial only with itself: an item blocked on one must
  // not hold up another serial queue on the same target.
  auto a = makeSerialQueue("test.serial.a");
  auto b = makeSerialQueue("test.serial.b");
  auto aReleased = std::make_shared<Semaphore>(0);
  auto ran = std::make_shared<Counter>();
  a->async([aReleased, ran] {
    aReleased->wait();
    ran->add();
  });
  b->async([ran] { ran->add(); });
  EXPECT_TRUE(ran->waitFor(1, Seconds(5)));
  EXPECT_EQ(ran->value(), 1);  // b ran while a is still blocked
  aReleased->signal();
  EXPECT_TRUE(ran->waitFor(2, Seconds(5)));
}

// --- The main queue -------------------------------------------------------

TEST(MainQueue, RunMainServesItemsInOrderUntilStopMain) {
  std::vector<int> order;  // touched only on this thread, by runMain's items
  const auto self = std::this_thread::get_id();
  std::atomic<bool> onCallerThread{true};
  for (int i = 0; i < 3; ++i) {
    mainQueue().async([&, i] {
      if (std::this_thread::get_id() != self) onCallerThread = false;
      order.push_back(i);
    });
  }
  // An item from another thread while runMain() is already serving.
  std::thread other([&] {
    sleepFor(Seconds(0.05));
    mainQueue().async([&] {
      order.push_back(3);
      stopMain();
    });
  });
  auto t0 = Clock::now();
  runMain();
  other.join();
  EXPECT_LT(secondsSince(t0), 5.0);
  EXPECT_TRUE(onCallerThread.load());
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

// --- Delayed work ---------------------------------------------------------

// Each fires no earlier than its delay and not much later, in deadline order,
// and none is held behind a longer one submitted before it.
TEST(After, FiresOnTimeInDeadlineOrder) {
  std::mutex mu;
  std::vector<std::pair<int, double>> fired;  // guarded by mu
  Counter done;
  auto t0 = Clock::now();
  auto record = [&](int id) {
    return [&, id] {
      {
        std::lock_guard<std::mutex> lock(mu);
        fired.emplace_back(id, secondsSince(t0));
      }
      done.add();
    };
  };
  globalQueue(QoS::Default).after(Seconds(30), [] {});
  auto serial = makeSerialQueue("test.after");
  serial->after(Seconds(0.6), record(3));
  serial->after(Seconds(0.2), record(1));
  serial->after(Seconds(0.4), record(2));
  ASSERT_TRUE(done.waitFor(3, Seconds(5)));
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(fired.size(), 3u);
  const double delays[] = {0.2, 0.4, 0.6};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(fired[i].first, i + 1);
    EXPECT_GE(fired[i].second, delays[i]);
    EXPECT_LT(fired[i].second, delays[i] + 0.5);
  }
}

// --- Semaphores -----------------------------------------------------------

TEST(SemaphoreTest, CountsSignalsWakesWaitersAndKeepsDeadlines) {
  Semaphore s(2);
  EXPECT_TRUE(s.waitFor(Seconds(0)));
  EXPECT_TRUE(s.waitFor(Seconds(0)));
  auto t0 = Clock::now();
  EXPECT_FALSE(s.waitFor(Seconds(0.3)));
  EXPECT_GE(secondsSince(t0), 0.3);
  EXPECT_LT(secondsSince(t0), 1.3);
  t0 = Clock::now();
  EXPECT_FALSE(s.waitUntil(Clock::now() - std::chrono::seconds(1)));  // already past
  EXPECT_LT(secondsSince(t0), 0.2);

  std::thread signaller([&] {
    sleepFor(Seconds(0.1));
    s.signal();
  });
  t0 = Clock::now();
  EXPECT_TRUE(s.waitFor(Seconds(5)));
  EXPECT_LT(secondsSince(t0), 2.0);
  signaller.join();

  // Many waiters, as many signals: every waiter gets exactly one.
  constexpr int kWaiters = 8;
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (s.waitFor(Seconds(10))) woke.fetch_add(1);
    });
  }
  for (int i = 0; i < kWaiters; ++i) s.signal();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(woke.load(), kWaiters);
  EXPECT_FALSE(s.waitFor(Seconds(0)));
}

// --- Repeating timers -----------------------------------------------------
//
// Handlers capture their state through shared pointers: a tick that is
// already running when a test ends must not touch the test's stack.

TEST(RepeatingTimerTest, FirstTickAfterFirstDelayThenEveryInterval) {
  struct State {
    std::mutex mu;
    std::vector<double> ticks;  // guarded by mu
    Clock::time_point t0 = Clock::now();
  };
  auto st = std::make_shared<State>();
  auto timer = RepeatingTimer::start(globalQueue(QoS::Default), Seconds(0.3), Seconds(0.1), [st] {
    std::lock_guard<std::mutex> lock(st->mu);
    st->ticks.push_back(secondsSince(st->t0));
  });
  sleepFor(Seconds(1.25));
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  std::lock_guard<std::mutex> lock(st->mu);
  ASSERT_FALSE(st->ticks.empty());
  EXPECT_GE(st->ticks.front(), 0.3);
  EXPECT_LT(st->ticks.front(), 0.8);
  // Ideal: ticks at 0.3, 0.4, ... 1.2 -> 10. Allow for a slow machine.
  EXPECT_GE(st->ticks.size(), 5u);
  EXPECT_LE(st->ticks.size(), 11u);
  // Later ticks keep to the schedule rather than drifting by handler time.
  EXPECT_LT(st->ticks.back(), 1.25 + 0.1);
}

TEST(RepeatingTimerTest, SlowHandlerNeverOverlapsAndMissedTicksCoalesce) {
  struct State {
    std::atomic<int> inside{0}, maxInside{0}, ticks{0};
  };
  auto st = std::make_shared<State>();
  auto timer = RepeatingTimer::start(globalQueue(QoS::Default), Seconds(0), Seconds(0.02), [st] {
    int now = st->inside.fetch_add(1) + 1;
    int prev = st->maxInside.load();
    while (now > prev && !st->maxInside.compare_exchange_weak(prev, now)) {
    }
    st->ticks.fetch_add(1);
    sleepFor(Seconds(0.15));
    st->inside.fetch_sub(1);
  });
  sleepFor(Seconds(1.0));
  timer->cancel();
  sleepFor(Seconds(0.3));  // let a running tick finish
  EXPECT_EQ(st->maxInside.load(), 1);
  // About 1.0 / 0.15 ticks ran back to back; the ~50 firings missed meanwhile
  // did not pile up into a backlog.
  EXPECT_GE(st->ticks.load(), 3);
  EXPECT_LE(st->ticks.load(), 9);
  int afterCancel = st->ticks.load();
  sleepFor(Seconds(0.3));
  EXPECT_EQ(st->ticks.load(), afterCancel);
}

TEST(RepeatingTimerTest, HandlerCancelsItsOwnTimer) {
  struct State {
    Counter ticks;
    std::mutex mu;
    std::shared_ptr<RepeatingTimer> timer;  // guarded by mu
  };
  auto st = std::make_shared<State>();
  std::weak_ptr<State> watch = st;
  {
    std::lock_guard<std::mutex> lock(st->mu);
    // The handler holds the state that holds the timer: a cycle that only
    // cancel() breaks, by letting go of the handler.
    st->timer =
        RepeatingTimer::start(globalQueue(QoS::Default), Seconds(0.01), Seconds(0.02), [st] {
          st->ticks.add();
          if (st->ticks.value() == 3) {
            std::lock_guard<std::mutex> l(st->mu);
            st->timer->cancel();  // must not wait for this tick
          }
        });
  }
  ASSERT_TRUE(st->ticks.waitFor(3, Seconds(5)));
  sleepFor(Seconds(0.3));
  EXPECT_EQ(st->ticks.value(), 3);
  {
    std::lock_guard<std::mutex> lock(st->mu);
    EXPECT_TRUE(st->timer->isCancelled());
  }
  st.reset();
  EXPECT_TRUE(watch.expired());
}

// Dropping the last reference cancels, without waiting for a tick that is
// running; the firings owed meanwhile are dropped, and so is the handler.
TEST(RepeatingTimerTest, DroppingTheLastReferenceCancelsWithoutWaitingForARunningTick) {
  struct State {
    Semaphore inTick{0}, releaseTick{0};
    Counter ticks;
  };
  auto st = std::make_shared<State>();
  std::weak_ptr<State> watch = st;
  auto timer = RepeatingTimer::start(globalQueue(QoS::Default), Seconds(0), Seconds(0.05), [st] {
    st->ticks.add();
    st->inTick.signal();
    st->releaseTick.wait();
  });
  ASSERT_TRUE(st->inTick.waitFor(Seconds(5)));
  sleepFor(Seconds(0.2));  // firings fall due meanwhile and are owed
  auto t0 = Clock::now();
  timer.reset();
  EXPECT_LT(secondsSince(t0), 0.5);
  st->releaseTick.signal();
  sleepFor(Seconds(0.3));
  EXPECT_EQ(st->ticks.value(), 1);
  st.reset();
  EXPECT_TRUE(watch.expired()) << "the handler's captures outlived the timer";
}

}  // namespace
}  // namespace zelvo::platform
