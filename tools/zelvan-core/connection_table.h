// The listener's live connections. A Tunnel owns the client socket and, once
// connected, the upstream socket; both close when the last reference drops.
// The table holds one reference per live tunnel, so closeConnections can shut
// every socket down while the tunnel's own thread still owns the descriptor
// (no close/reuse race). Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace zelvan {

struct TunnelTarget {
  std::string type;  // "HTTP Connect", "HTTP" or "Socks5"
  std::string host;
  std::string destinationIp;
  uint16_t destinationPort = 0;
  std::vector<std::string> chain;
  std::string rule;
};

class Tunnel {
 public:
  Tunnel(uint64_t id, UniqueFd client, std::string sourceIp, uint16_t sourcePort);
  Tunnel(const Tunnel&) = delete;
  Tunnel& operator=(const Tunnel&) = delete;

  uint64_t id() const { return id_; }
  int clientFd() const { return client_.get(); }
  // Set once by the tunnel's own thread; only that thread reads it unlocked.
  int upstreamFd() const { return upstream_.get(); }
  void attachUpstream(UniqueFd fd);
  void setTarget(TunnelTarget target);

  // Shuts both sockets down; the tunnel's thread then sees end of stream and
  // finishes. Safe from any thread, any number of times.
  void shutdownNow();
  bool isShutDown() const;

  std::atomic<int64_t> up{0};
  std::atomic<int64_t> down{0};

  nlohmann::json toJson() const;

 private:
  const uint64_t id_;
  const std::string sourceIp_;
  const uint16_t sourcePort_;
  const std::chrono::system_clock::time_point start_;
  UniqueFd client_;
  mutable std::mutex mu_;  // guards upstream_ changes, closed_ and target_
  UniqueFd upstream_;
  bool closed_ = false;
  TunnelTarget target_;
};

class ConnectionTable {
 public:
  explicit ConnectionTable(size_t maxConnections) : max_(maxConnections) {}

  // Registers a new connection; nullptr when the cap is reached (the socket
  // is then closed).
  std::shared_ptr<Tunnel> open(UniqueFd client, std::string sourceIp, uint16_t sourcePort);
  void remove(uint64_t id);
  // Shuts down every live connection; returns how many there were.
  size_t closeAll();
  size_t size() const;
  nlohmann::json connectionsJson() const;

 private:
  const size_t max_;
  mutable std::mutex mu_;  // guards live_ and nextId_
  std::map<uint64_t, std::shared_ptr<Tunnel>> live_;
  uint64_t nextId_ = 1;
};

}  // namespace zelvan
