// Byte counters of the mixed listener: totals since start, and the rate over
// the last second from a 100 ms sampler. "up" is client to destination,
// "down" destination to client. Thread-safe; counting is lock-free.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace zelvan {

struct TrafficPair {
  int64_t up = 0;
  int64_t down = 0;
};

class Traffic {
 public:
  Traffic();
  ~Traffic();
  Traffic(const Traffic&) = delete;
  Traffic& operator=(const Traffic&) = delete;

  void addUp(int64_t n) { up_.fetch_add(n, std::memory_order_relaxed); }
  void addDown(int64_t n) { down_.fetch_add(n, std::memory_order_relaxed); }
  TrafficPair total() const { return {up_.load(), down_.load()}; }
  // Bytes per second, measured over the last second (less right after start).
  TrafficPair rate() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Sample {
    Clock::time_point at;
    TrafficPair total;
  };
  void sampleLoop();

  std::atomic<int64_t> up_{0};
  std::atomic<int64_t> down_{0};
  mutable std::mutex mu_;  // guards samples_ and stop_
  std::deque<Sample> samples_;
  bool stop_ = false;
  std::condition_variable wake_;
  std::thread sampler_;
};

}  // namespace zelvan
