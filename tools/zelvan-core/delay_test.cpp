#include "delay_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace zelvan {

long long measureConnectMs(const HostPort& target, int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  ConnectResult r = connectTcp(target.host, target.port, timeoutMs);
  if (!r.fd.valid()) return 0;
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  return std::max<long long>(1, (us + 999) / 1000);
}

void measureAll(const std::vector<std::string>& outbounds, const HostPort& target, int timeoutMs,
                const std::function<void(const std::string&, long long)>& done) {
  constexpr size_t kParallel = 8;
  std::atomic<size_t> next{0};
  std::mutex doneMu;  // one callback at a time
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < outbounds.size();) {
      long long ms = measureConnectMs(target, timeoutMs);
      std::lock_guard lock(doneMu);
      done(outbounds[i], ms);
    }
  };
  std::vector<std::thread> workers;
  size_t n = std::min(kParallel, outbounds.size());
  for (size_t i = 0; i < n; ++i) workers.emplace_back(worker);
  for (auto& w : workers) w.join();
}

}  // namespace zelvan
