#include "connection_table.h"

#include <sys/socket.h>
#include <time.h>

namespace zelvan {

using nlohmann::json;

namespace {

std::string isoTime(std::chrono::system_clock::time_point t) {
  time_t secs = std::chrono::system_clock::to_time_t(t);
  tm utc{};
  ::gmtime_r(&secs, &utc);
  char buf[32];
  ::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

}  // namespace

Tunnel::Tunnel(uint64_t id, UniqueFd client, std::string sourceIp, uint16_t sourcePort)
    : id_(id),
      sourceIp_(std::move(sourceIp)),
      sourcePort_(sourcePort),
      start_(std::chrono::system_clock::now()),
      client_(std::move(client)) {}

void Tunnel::attachUpstream(UniqueFd fd) {
  std::lock_guard lock(mu_);
  upstream_ = std::move(fd);
  if (closed_ && upstream_.valid()) ::shutdown(upstream_.get(), SHUT_RDWR);
}

void Tunnel::setTarget(TunnelTarget target) {
  std::lock_guard lock(mu_);
  target_ = std::move(target);
}

void Tunnel::shutdownNow() {
  std::lock_guard lock(mu_);
  closed_ = true;
  ::shutdown(client_.get(), SHUT_RDWR);
  if (upstream_.valid()) ::shutdown(upstream_.get(), SHUT_RDWR);
}

bool Tunnel::isShutDown() const {
  std::lock_guard lock(mu_);
  return closed_;
}

json Tunnel::toJson() const {
  std::lock_guard lock(mu_);
  return {{"id", std::to_string(id_)},
          {"metadata",
           {{"network", "tcp"},
            {"type", target_.type},
            {"sourceIP", sourceIp_},
            {"sourcePort", std::to_string(sourcePort_)},
            {"host", target_.host},
            {"destinationIP", target_.destinationIp},
            {"destinationPort", std::to_string(target_.destinationPort)}}},
          {"upload", up.load()},
          {"download", down.load()},
          {"start", isoTime(start_)},
          {"chains", std::vector<std::string>(target_.chain.rbegin(), target_.chain.rend())},
          {"rule", target_.rule}};
}

std::shared_ptr<Tunnel> ConnectionTable::open(UniqueFd client, std::string sourceIp,
                                              uint16_t sourcePort) {
  std::lock_guard lock(mu_);
  if (live_.size() >= max_) return nullptr;
  uint64_t id = nextId_++;
  auto t = std::make_shared<Tunnel>(id, std::move(client), std::move(sourceIp), sourcePort);
  live_.emplace(id, t);
  return t;
}

void ConnectionTable::remove(uint64_t id) {
  std::shared_ptr<Tunnel> last;  // released outside the lock
  std::lock_guard lock(mu_);
  auto it = live_.find(id);
  if (it == live_.end()) return;
  last = std::move(it->second);
  live_.erase(it);
}

size_t ConnectionTable::closeAll() {
  std::lock_guard lock(mu_);
  for (auto& [id, t] : live_) t->shutdownNow();
  return live_.size();
}

size_t ConnectionTable::size() const {
  std::lock_guard lock(mu_);
  return live_.size();
}

json ConnectionTable::connectionsJson() const {
  std::vector<std::shared_ptr<Tunnel>> snapshot;
  {
    std::lock_guard lock(mu_);
    for (const auto& [id, t] : live_) snapshot.push_back(t);
  }
  json list = json::array();
  for (const auto& t : snapshot) list.push_back(t->toJson());
  return list;
}

}  // namespace zelvan
