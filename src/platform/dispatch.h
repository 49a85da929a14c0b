// Dispatch: the libdispatch stand-in. Queues of work items, the main queue and
// its run loop, delayed work, repeating timers and counting semaphores.
//
// Global queues are concurrent and elastic: a work item may block for seconds
// or for ever (a sleep, a semaphore wait, an accept without time-out, a reader
// that lives as long as a connection), so a global queue starts another worker
// whenever an item is submitted and no worker is idle (up to a generous cap)
// and retires workers that stay idle. Nothing here polls: an idle process has
// every thread blocked.
//
// Everything in this header is thread-safe.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zelvo::platform {

using Work = std::function<void()>;
using Seconds = std::chrono::duration<double>;

enum class QoS { UserInitiated, Default, Utility };

class Queue {
 public:
  virtual ~Queue() = default;
  // Submits `work`; returns at once. Work submitted to a queue whose owner is
  // gone still runs (queues are kept alive by their pending items).
  virtual void async(Work work) = 0;
  virtual const std::string& label() const = 0;
  // Submits `work` to this queue once `delay` has passed.
  void after(Seconds delay, Work work);
};

// The global concurrent queue of a quality-of-service class. Never destroyed.
Queue& globalQueue(QoS qos);

// A concurrent queue of its own, elastic like the global queues but with at
// most `maxWorkers` threads: work that may block for long on behalf of peers
// who are not trusted goes there, so that it holds up only theirs. Never
// destroyed, like the global queues; made once per use, not per peer.
Queue& makeWorkerPool(std::string label, size_t maxWorkers);

// The main queue: serial, served by runMain() on the main thread. Items
// submitted before runMain() starts wait for it.
Queue& mainQueue();

// Serves the main queue on the calling thread until stopMain() is called.
void runMain();
// Makes runMain() return after the item it is running (if any).
void stopMain();

// A serial queue: items run one at a time, in submission order, on threads of
// `target` (the default global queue when null). The queue lives as long as a
// reference to it or a pending item does.
std::shared_ptr<Queue> makeSerialQueue(std::string label, Queue* target = nullptr);

// Runs `work` on the calling thread as an item of the serial queue `queue`,
// when that queue has nothing pending or running, and returns true. Otherwise
// (or when `queue` is not a serial queue) returns false and leaves `work`
// untouched. Items submitted meanwhile run after it, as usual. Saves a thread
// hand-off for work known to finish at once.
bool runIfIdle(Queue& queue, Work& work);

// Inside such an item: its serial queue, on which work that must wait (an
// external command, say) goes on instead, since the calling thread may serve
// others that must not wait for it. Null on any other thread.
Queue* runningInPlaceOf();

// A hint to the processor inside a short busy wait (a thread watching for a
// reply it expects within microseconds), so the wait costs its sibling
// hyperthread and the bus less.
inline void relaxCpu() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// How long a thread that expects a reply within microseconds watches for it
// before it sleeps: most replies come sooner, and a wake-up through the
// scheduler costs about as much as the round trip itself.
inline constexpr std::chrono::microseconds kReplySpin{100};

// Looks at `done` without sleeping until it is true or `limit` has passed;
// returns its last answer.
template <class Done>
bool spinFor(std::chrono::microseconds limit, Done done) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    relaxCpu();
  }
  return true;
}

// Counting semaphore (dispatch_semaphore_t).
class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  void wait();
  // Returns false when the deadline passed without a signal to take.
  bool waitUntil(std::chrono::steady_clock::time_point deadline);
  bool waitFor(Seconds timeout);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A repeating timer (a dispatch timer source): the handler runs on `queue`,
// first `first` after start(), then every `interval`. A tick never overlaps
// the previous one: firings that fall due while a tick runs are coalesced
// into one that runs after it.
class RepeatingTimer {
 public:
  static std::shared_ptr<RepeatingTimer> start(Queue& queue, Seconds first, Seconds interval,
                                               Work handler);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // No tick starts after cancel() returns; a tick already running finishes.
  // Does not wait, so a handler may cancel its own timer.
  void cancel();
  bool isCancelled() const;

  struct Impl;

 private:
  explicit RepeatingTimer(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

// Sleeps the calling thread.
void sleepFor(Seconds duration);

}  // namespace zelvo::platform
