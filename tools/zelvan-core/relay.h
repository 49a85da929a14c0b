// Moves bytes both ways between a client and its upstream until both sides
// have finished, the idle time-out passes with no traffic, or either socket
// fails. Each direction copies through its own buffer. Called on the
// tunnel's own thread; blocks.
#pragma once

#include "connection_table.h"
#include "traffic.h"

namespace zelvan {

enum class RelayEnd { kFinished, kIdle, kError };

RelayEnd relay(Tunnel& tunnel, Traffic& traffic, int idleTimeoutMs);

}  // namespace zelvan
