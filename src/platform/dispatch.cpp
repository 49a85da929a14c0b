#include "platform/dispatch.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <queue>
#include <thread>
#include <utility>
#include <vector>

#include "platform/log.h"

namespace zelvo::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Global queues and the timer thread are created on first use and never
// destroyed: detached workers may still be running when static destructors
// run at exit, and they must find their queue intact.

// Runs one work item. An exception escaping a work item would otherwise take
// the whole daemon down from a worker thread; it is reported instead.
void runItem(const std::string& label, Work& work) {
  try {
    work();
  } catch (const std::exception& e) {
    helperLog("uncaught exception in work item on " + label + ": " + e.what());
  } catch (...) {
    helperLog("uncaught exception in work item on " + label);
  }
}

// Sleeps while `word` holds `expected`, at most until `deadline` (a monotonic
// clock time, which is what steady_clock reads here); may return early.
void futexWaitUntil(std::atomic<uint32_t>& word, uint32_t expected, Clock::time_point deadline) {
  timespec at{};
  timespec* timeout = nullptr;
  if (deadline != Clock::time_point::max()) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    at = {time_t(ns / 1000000000), long(ns % 1000000000)};
    timeout = &at;
  }
  // The bitset form takes an absolute time, so a retry needs no arithmetic.
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
            timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Wakes up to `count` threads sleeping on `word`. Touches no memory: it is
// safe even when the word's owner has just gone.
void futexWake(std::atomic<uint32_t>& word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

// A global concurrent queue. Items may block for as long as they like, so a
// worker is started whenever an item arrives and no worker is idle; workers
// idle for kRetireAfter retire.
//
// An item for an idle worker is handed to it directly and the worker woken on
// a word of its own: it runs the item without touching the queue's lock, so a
// hand-off costs one wake and no more (a condition variable would leave the
// lock marked contended, and its release would cost another system call).
class GlobalQueue final : public Queue {
 public:
  static constexpr size_t kMaxWorkers = 256;
  static constexpr auto kRetireAfter = std::chrono::seconds(5);

  explicit GlobalQueue(std::string label, size_t maxWorkers = kMaxWorkers)
      : label_(std::move(label)), maxWorkers_(std::max<size_t>(maxWorkers, 1)) {}

  void async(Work work) override {
    std::unique_lock<std::mutex> lock(mu_);
    if (!idle_.empty()) {
      Parked* worker = idle_.back();
      idle_.pop_back();
      worker->work = std::move(work);
      busy_.fetch_add(1, std::memory_order_relaxed);
      // Stored under the lock, so a worker that timed out and took the lock
      // knows for sure whether it was claimed.
      worker->handed.store(1, std::memory_order_release);
      lock.unlock();
      futexWake(worker->handed, 1);
      return;
    }
    items_.push_back(std::move(work));
    // Workers between items (just started, or just done with one) each take
    // an item before they can sleep; only items beyond those need a new one.
    // Counting them keeps a stream of short items from starting a worker for
    // every item that arrives while the last one is still winding down.
    const size_t between = workers_ - busy_.load(std::memory_order_acquire);
    if (items_.size() <= between) return;
    if (workers_ >= maxWorkers_) return;  // a busy worker picks it up later
    ++workers_;
    lock.unlock();
    try {
      std::thread([this] { workerLoop(); }).detach();
    } catch (const std::system_error& e) {
      lock.lock();
      --workers_;
      size_t left = workers_;
      lock.unlock();
      helperLog(std::string("cannot start a worker for ") + label_ + ": " + e.what());
      // With no worker at all the item would sit there for ever; run it here
      // rather than lose it.
      if (left == 0) drainOnCaller();
    }
  }

  const std::string& label() const override { return label_; }

 private:
  // An idle worker, on its own stack while it waits.
  struct Parked {
    // Both written under mu_ by the submitter; `handed` is 1 once `work` is
    // this worker's to run.
    std::atomic<uint32_t> handed{0};
    Work work;
  };

  void workerLoop() {
    // Named after the queue (the kernel keeps 15 bytes), so that ps -L and
    // /proc tell which queue a crowd of threads belongs to.
    const std::string name = label_.substr(label_.rfind('.') + 1).substr(0, 15);
    ::pthread_setname_np(::pthread_self(), name.c_str());
    Parked me;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      if (!items_.empty()) {
        Work work = std::move(items_.front());
        items_.pop_front();
        busy_.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        runItem(label_, work);
        work = nullptr;  // release captures before sleeping
        // Before the lock: from here this worker is sure to look at items_.
        busy_.fetch_sub(1, std::memory_order_release);
        lock.lock();
        continue;
      }
      me.handed.store(0, std::memory_order_relaxed);
      idle_.push_back(&me);
      lock.unlock();
      const auto deadline = Clock::now() + kRetireAfter;
      while (me.handed.load(std::memory_order_acquire) == 0 && Clock::now() < deadline) {
        futexWaitUntil(me.handed, 0, deadline);
      }
      if (me.handed.load(std::memory_order_acquire) == 0) {
        lock.lock();
        if (me.handed.load(std::memory_order_relaxed) == 0) {
          std::erase(idle_, &me);
          if (items_.empty()) {
            --workers_;
            return;
          }
          continue;
        }
        lock.unlock();  // claimed while timing out
      }
      runItem(label_, me.work);
      me.work = nullptr;
      busy_.fetch_sub(1, std::memory_order_release);
      lock.lock();
    }
  }

  void drainOnCaller() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mu_);
      if (items_.empty()) return;
      Work work = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      runItem(label_, work);
    }
  }

  const std::string label_;
  const size_t maxWorkers_;
  std::mutex mu_;  // guards items_, idle_, workers_ and each idle worker's `work`
  std::deque<Work> items_;
  std::vector<Parked*> idle_;  // waiting workers; the latest to wait is woken first
  size_t workers_ = 0;         // live worker threads
  // Workers running an item: raised under mu_ as an item is taken, lowered
  // as soon as it is done, before the worker takes the lock again.
  std::atomic<size_t> busy_{0};
};

// The main queue, served by runMain() on whichever thread calls it.
class MainQueue final : public Queue {
 public:
  void async(Work work) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      items_.push_back(std::move(work));
    }
    cv_.notify_one();
  }

  const std::string& label() const override { return label_; }

  void run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !items_.empty(); });
      if (stop_) {
        stop_ = false;  // consumed, so runMain() can be entered again
        return;
      }
      Work work = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      runItem(label_, work);
      work = nullptr;
      lock.lock();
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
  }

 private:
  const std::string label_ = "com.apple.main-thread";
  std::mutex mu_;  // guards items_ and stop_
  std::condition_variable cv_;
  std::deque<Work> items_;
  bool stop_ = false;
};

// The serial queue whose item this thread runs in place of a worker
// (runIfIdle), if any.
thread_local Queue* tlsRunningInPlace = nullptr;

// A serial queue: no thread of its own. While it has items, exactly one drain
// job is pending or running on the target queue; the job holds the queue
// alive and runs the items one at a time, in order.
class SerialQueue final : public Queue, public std::enable_shared_from_this<SerialQueue> {
 public:
  SerialQueue(std::string label, Queue& target, std::shared_ptr<Queue> targetHold)
      : label_(std::move(label)), target_(target), targetHold_(std::move(targetHold)) {}

  void async(Work work) override {
    bool schedule = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      items_.push_back(std::move(work));
      if (!draining_) draining_ = schedule = true;
    }
    if (schedule) scheduleDrain();
  }

  const std::string& label() const override { return label_; }

  bool runIfIdle(Work& work) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (draining_) return false;
      draining_ = true;  // held by this caller as a drain job would hold it
    }
    Queue* const outer = std::exchange(tlsRunningInPlace, this);
    runItem(label_, work);
    tlsRunningInPlace = outer;
    handOn();
    return true;
  }

 private:
  // Items run per drain job before the job yields its thread; keeps one busy
  // serial queue from monopolising a worker of a shared target.
  static constexpr int kBatch = 64;

  void scheduleDrain() {
    target_.async([self = shared_from_this()] { self->drain(); });
  }

  void drain() {
    for (int n = 0; n < kBatch; ++n) {
      Work work;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (items_.empty()) {
          draining_ = false;
          return;
        }
        work = std::move(items_.front());
        items_.pop_front();
      }
      runItem(label_, work);
    }
    handOn();
  }

  // Called by whoever holds the queue when it lets go: a new drain job takes
  // over what is left, or the queue becomes idle.
  void handOn() {
    bool more;
    {
      std::lock_guard<std::mutex> lock(mu_);
      more = !items_.empty();
      if (!more) draining_ = false;
    }
    if (more) scheduleDrain();
  }

  const std::string label_;
  Queue& target_;
  const std::shared_ptr<Queue> targetHold_;  // set when the target is itself a serial queue
  std::mutex mu_;                            // guards items_ and draining_
  std::deque<Work> items_;
  bool draining_ = false;
};

// The one thread behind every delayed submission and every timer: a heap of
// deadlines and a wait until the earliest. Callbacks run on this thread and
// must only hand work to a queue.
class TimerThread {
 public:
  static TimerThread& instance() {
    static TimerThread* t = new TimerThread;
    return *t;
  }

  void schedule(Clock::time_point deadline, Work fire) {
    bool earliest;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!started_) {
        started_ = true;
        std::thread([this] { loop(); }).detach();
      }
      earliest = heap_.empty() || deadline < heap_.top().deadline;
      heap_.push(Entry{deadline, seq_++, std::move(fire)});
    }
    if (earliest) cv_.notify_one();
  }

 private:
  struct Entry {
    Clock::time_point deadline;
    uint64_t seq;  // keeps equal deadlines in submission order
    Work fire;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.deadline != b.deadline ? a.deadline > b.deadline : a.seq > b.seq;
    }
  };

  void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      if (heap_.empty()) {
        cv_.wait(lock);
        continue;
      }
      auto deadline = heap_.top().deadline;
      if (Clock::now() < deadline) {
        cv_.wait_until(lock, deadline);
        continue;  // re-examine: an earlier entry may have arrived
      }
      // priority_queue::top() is const; the entry is popped right after.
      Work fire = std::move(const_cast<Entry&>(heap_.top()).fire);
      heap_.pop();
      lock.unlock();
      runItem("timer", fire);
      fire = nullptr;  // captures are released outside the lock
      lock.lock();
    }
  }

  std::mutex mu_;  // guards heap_, seq_, started_
  std::condition_variable cv_;
  std::priority_queue<Entry, std::vector<Entry>, Later> heap_;
  uint64_t seq_ = 0;
  bool started_ = false;
};

MainQueue& mainQueueImpl() {
  static MainQueue* q = new MainQueue;
  return *q;
}

// Holds a serial queue alive until delayed work reaches it; the global and
// main queues live for ever and need no holding.
std::shared_ptr<Queue> keepAlive(Queue& queue) {
  if (auto* serial = dynamic_cast<SerialQueue*>(&queue)) return serial->shared_from_this();
  return nullptr;
}

Clock::time_point deadlineAfter(Seconds delay) {
  if (delay.count() <= 0) return Clock::now();
  // Saturate rather than overflow for absurd delays ("never").
  if (delay > std::chrono::hours(24 * 365 * 100)) return Clock::time_point::max();
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(delay);
}

}  // namespace

void Queue::after(Seconds delay, Work work) {
  TimerThread::instance().schedule(
      deadlineAfter(delay), [queue = this, hold = keepAlive(*this),
                             work = std::move(work)]() mutable { queue->async(std::move(work)); });
}

Queue& globalQueue(QoS qos) {
  static GlobalQueue* userInitiated = new GlobalQueue("com.apple.root.user-initiated-qos");
  static GlobalQueue* defaultQos = new GlobalQueue("com.apple.root.default-qos");
  static GlobalQueue* utility = new GlobalQueue("com.apple.root.utility-qos");
  switch (qos) {
    case QoS::UserInitiated:
      return *userInitiated;
    case QoS::Utility:
      return *utility;
    case QoS::Default:
      break;
  }
  return *defaultQos;
}

Queue& makeWorkerPool(std::string label, size_t maxWorkers) {
  return *new GlobalQueue(std::move(label), maxWorkers);
}

Queue& mainQueue() {
  return mainQueueImpl();
}

void runMain() {
  mainQueueImpl().run();
}

void stopMain() {
  mainQueueImpl().stop();
}

std::shared_ptr<Queue> makeSerialQueue(std::string label, Queue* target) {
  Queue& t = target ? *target : globalQueue(QoS::Default);
  return std::make_shared<SerialQueue>(std::move(label), t, keepAlive(t));
}

Queue* runningInPlaceOf() {
  return tlsRunningInPlace;
}

bool runIfIdle(Queue& queue, Work& work) {
  auto* serial = dynamic_cast<SerialQueue*>(&queue);
  return serial && serial->runIfIdle(work);
}

// ---------------------------------------------------------------------------
// Semaphore

// One word: the count, and a flag for "someone may be asleep on it". A signal
// wakes sleepers only when the flag says there are any, and touches nothing
// but the word, so a waiter may destroy the semaphore the moment it returns.
// Taking a count needs no lock and no system call.
namespace {
constexpr uint32_t kSleepers = 1u << 31;
}

struct Semaphore::Impl {
  std::atomic<uint32_t> word{0};
};

Semaphore::Semaphore(long value) : impl_(std::make_unique<Impl>()) {
  impl_->word.store(uint32_t(std::clamp<long>(value, 0, kSleepers - 1)));
}
Semaphore::~Semaphore() = default;

void Semaphore::signal() {
  std::atomic<uint32_t>& word = impl_->word;
  uint32_t v = word.load(std::memory_order_relaxed);
  // The flag goes with the signal; sleepers that find no count set it again.
  while (!word.compare_exchange_weak(v, (v & ~kSleepers) + 1, std::memory_order_acq_rel)) {
  }
  if (v & kSleepers) futexWake(word, INT_MAX);
}

void Semaphore::wait() {
  waitUntil(Clock::time_point::max());
}

bool Semaphore::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::atomic<uint32_t>& word = impl_->word;
  uint32_t v = word.load(std::memory_order_acquire);
  for (;;) {
    if (v & ~kSleepers) {
      if (word.compare_exchange_weak(v, v - 1, std::memory_order_acquire)) return true;
      continue;
    }
    if (!(v & kSleepers)) {
      if (!word.compare_exchange_weak(v, kSleepers, std::memory_order_acquire)) continue;
      v = kSleepers;
    }
    if (Clock::now() >= deadline) return false;
    futexWaitUntil(word, kSleepers, deadline);
    v = word.load(std::memory_order_acquire);
  }
}

bool Semaphore::waitFor(Seconds timeout) {
  return waitUntil(deadlineAfter(timeout));
}

// ---------------------------------------------------------------------------
// RepeatingTimer
//
// The timer thread fires on a fixed schedule (start + first + k * interval).
// A firing either submits a tick, or, while a tick is pending or running,
// marks one more as owed; ticks owed are coalesced into a single one that is
// submitted when the running tick ends. Firings and ticks hold the Impl only
// weakly between runs, so dropping the last RepeatingTimer ends everything.

struct RepeatingTimer::Impl : std::enable_shared_from_this<RepeatingTimer::Impl> {
  std::mutex mu;  // guards everything below
  Queue* queue = nullptr;
  std::shared_ptr<Queue> queueHold;  // keeps a serial target alive
  std::shared_ptr<Work> handler;     // shared so a running tick keeps its copy
  Clock::duration interval{};
  Clock::time_point nextFiring{};
  bool cancelled = false;
  bool inFlight = false;  // a tick is submitted or running
  bool owed = false;      // a firing fell due while a tick was in flight

  void scheduleFiring() {  // caller holds mu
    std::weak_ptr<Impl> weak = weak_from_this();
    TimerThread::instance().schedule(nextFiring, [weak] {
      if (auto self = weak.lock()) self->fire();
    });
  }

  void fire() {
    std::lock_guard<std::mutex> lock(mu);
    if (cancelled) return;
    if (inFlight) {
      owed = true;
    } else {
      inFlight = true;
      submitTick();
    }
    if (interval <= Clock::duration::zero()) return;  // one-shot
    // Skip firings that are already in the past: they are coalesced.
    auto now = Clock::now();
    nextFiring += interval;
    if (nextFiring <= now) {
      auto behind = (now - nextFiring) / interval + 1;
      nextFiring += behind * interval;
    }
    scheduleFiring();
  }

  void submitTick() {  // caller holds mu
    std::weak_ptr<Impl> weak = weak_from_this();
    queue->async([weak] {
      if (auto self = weak.lock()) self->tick();
    });
  }

  void tick() {
    std::shared_ptr<Work> work;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (cancelled) {
        inFlight = false;
        return;
      }
      work = handler;
    }
    // A tick that throws is logged like any work item and the timer goes on:
    // a watchdog must not fall silent for good over one failed tick.
    runItem(queue->label(), *work);
    std::lock_guard<std::mutex> lock(mu);
    if (owed && !cancelled) {
      owed = false;
      submitTick();
    } else {
      inFlight = false;
    }
  }

  void cancel() {
    std::shared_ptr<Work> dropHandler;
    std::shared_ptr<Queue> dropQueue;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (cancelled) return;
      cancelled = true;
      owed = false;
      dropHandler = std::move(handler);
      dropQueue = std::move(queueHold);
    }
    // The handler's captures may point back at whoever is cancelling; they
    // are destroyed here, outside the lock.
  }
};

std::shared_ptr<RepeatingTimer> RepeatingTimer::start(Queue& queue, Seconds first, Seconds interval,
                                                      Work handler) {
  auto impl = std::make_shared<Impl>();
  std::lock_guard<std::mutex> lock(impl->mu);
  impl->queue = &queue;
  impl->queueHold = keepAlive(queue);
  impl->handler = std::make_shared<Work>(std::move(handler));
  // A non-positive or astronomically long interval means a single tick.
  bool repeats = interval.count() > 0 && interval <= std::chrono::hours(24 * 365 * 100);
  impl->interval =
      repeats ? std::chrono::duration_cast<Clock::duration>(interval) : Clock::duration::zero();
  if (impl->interval > Clock::duration::zero() && impl->interval < std::chrono::milliseconds(1)) {
    impl->interval = std::chrono::milliseconds(1);  // a zero-ish period would spin
  }
  impl->nextFiring = deadlineAfter(first);
  impl->scheduleFiring();
  return std::shared_ptr<RepeatingTimer>(new RepeatingTimer(impl));
}

RepeatingTimer::RepeatingTimer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

RepeatingTimer::~RepeatingTimer() {
  impl_->cancel();
}

void RepeatingTimer::cancel() {
  impl_->cancel();
}

bool RepeatingTimer::isCancelled() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->cancelled;
}

void sleepFor(Seconds duration) {
  if (duration.count() <= 0) return;
  std::this_thread::sleep_for(duration);
}

}  // namespace zelvo::platform
