#include "outbox.h"

namespace zelvan {

Outbox::Outbox(int delayMs) : delay_(delayMs) {
  if (delayMs > 0) thread_ = std::thread([this] { run(); });
}

Outbox::~Outbox() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Outbox::send(std::shared_ptr<ControlConnection> conn, std::string body) {
  if (delay_.count() <= 0) {
    conn->send(body);
    return;
  }
  {
    std::lock_guard lock(mu_);
    due_.emplace(Clock::now() + delay_, Item{std::move(conn), std::move(body)});
  }
  wake_.notify_all();
}

void Outbox::run() {
  std::unique_lock lock(mu_);
  while (!stop_) {
    if (due_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = due_.begin();
    if (Clock::now() < first->first) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    Item item = std::move(first->second);
    due_.erase(first);
    lock.unlock();  // never write to a socket under the lock
    item.conn->send(item.body);
    lock.lock();
  }
}

}  // namespace zelvan
