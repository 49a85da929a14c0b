#include "traffic.h"

#include <condition_variable>

namespace zelvan {

Traffic::Traffic() {
  samples_.push_back({Clock::now(), {}});
  sampler_ = std::thread([this] { sampleLoop(); });
}

Traffic::~Traffic() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  sampler_.join();
}

void Traffic::sampleLoop() {
  std::unique_lock lock(mu_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; })) {
    samples_.push_back({Clock::now(), total()});
    while (samples_.size() > 15) samples_.pop_front();
  }
}

TrafficPair Traffic::rate() const {
  auto now = Clock::now();
  TrafficPair current = total();
  std::lock_guard lock(mu_);
  // The newest sample at least one second old; the oldest one right after start.
  const Sample* base = &samples_.front();
  for (const auto& s : samples_) {
    if (now - s.at >= std::chrono::seconds(1)) base = &s;
  }
  double seconds = std::chrono::duration<double>(now - base->at).count();
  if (seconds < 1.0) seconds = 1.0;  // young process: bytes so far count as one second
  return {static_cast<int64_t>(static_cast<double>(current.up - base->total.up) / seconds),
          static_cast<int64_t>(static_cast<double>(current.down - base->total.down) / seconds)};
}

}  // namespace zelvan
