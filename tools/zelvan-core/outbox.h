// Sends replies, now or after the configured delay (ZELVAN_REPLY_DELAY_MS).
// Delayed replies wait on one thread in due order, so a slow reply never holds
// up the reading of further requests. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "control_connection.h"

namespace zelvan {

class Outbox {
 public:
  explicit Outbox(int delayMs);
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  void send(std::shared_ptr<ControlConnection> conn, std::string body);  // JSON text

 private:
  using Clock = std::chrono::steady_clock;
  struct Item {
    std::shared_ptr<ControlConnection> conn;
    std::string body;
  };
  void run();

  const std::chrono::milliseconds delay_;
  std::mutex mu_;  // guards due_ and stop_
  std::condition_variable wake_;
  std::multimap<Clock::time_point, Item> due_;
  bool stop_ = false;
  std::thread thread_;  // only when there is a delay
};

}  // namespace zelvan
