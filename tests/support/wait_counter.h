// A count that tests can wait on with a bound, so that a broken component
// fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zelvo::testing {

class Counter {
 public:
  void add(int n = 1) {
    std::lock_guard<std::mutex> lock(mu_);
    value_ += n;
    cv_.notify_all();
  }
  int value() const {
    std::lock_guard<std::mutex> lock(mu_);
    return value_;
  }
  bool waitFor(int target, std::chrono::duration<double> timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return value_ >= target; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int value_ = 0;
};

}  // namespace zelvo::testing
