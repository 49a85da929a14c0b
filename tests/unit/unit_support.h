// Bounded waits (a broken component fails a test, never hangs it), a temp dir.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace zelvo::unit {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Polls `pred` until it holds or `timeout` has passed; returns its last answer.
template <class Pred>
bool eventually(Pred pred, std::chrono::duration<double> timeout = 10s) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
  while (!pred()) {
    if (Clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

struct TempDir {
  std::string path = [] {
    char t[] = "/tmp/zelvo-unit-XXXXXX";
    return std::string(mkdtemp(t));
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace zelvo::unit
