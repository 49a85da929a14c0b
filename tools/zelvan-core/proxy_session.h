// One client connection of the mixed listener, from the first byte to the
// end of its relay: tells SOCKS5 from HTTP by the first byte, performs the
// handshake, connects the destination directly (or refuses it when the route
// ends in REJECT) and relays. Runs on the connection's own thread.
#pragma once

#include <memory>

#include "connection_table.h"
#include "kernel_state.h"
#include "options.h"
#include "traffic.h"

namespace zelvan {

// The long-lived objects a connection thread uses; they outlive every
// connection (the process ends with _exit, never by unwinding them).
struct ProxyContext {
  KernelState& state;
  ConnectionTable& table;
  Traffic& traffic;
  const Options& options;
};

// Serves the tunnel and removes it from the table when done.
void serveClient(ProxyContext& ctx, const std::shared_ptr<Tunnel>& tunnel);

}  // namespace zelvan
