// One listening socket of the mixed HTTP/SOCKS5 proxy on 127.0.0.1. Its
// accept thread registers each connection in the table (which enforces the
// connection cap) and hands it to a thread of its own. Stopping the listener
// leaves established connections running. Not thread-safe: the owner starts
// and stops it from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "proxy_session.h"
#include "unique_fd.h"

namespace zelvan {

class MixedListener {
 public:
  explicit MixedListener(ProxyContext& ctx) : ctx_(ctx) {}
  ~MixedListener() { stop(); }
  MixedListener(const MixedListener&) = delete;
  MixedListener& operator=(const MixedListener&) = delete;

  // Binds and starts accepting; on failure returns the reason and nothing runs.
  std::optional<std::string> start(int64_t port);
  void stop();

 private:
  void acceptLoop();

  ProxyContext& ctx_;
  UniqueFd fd_;
  std::thread thread_;
};

}  // namespace zelvan
