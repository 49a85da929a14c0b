// Delay tests: the time a real TCP connection to the test address takes
// through each outbound (all outbounds connect directly). Outbounds are
// measured in parallel, a few at a time. Blocking; thread-safe.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net.h"

namespace zelvan {

// Milliseconds rounded up, at least 1 for a connection that succeeded; 0 for
// one that failed or timed out.
long long measureConnectMs(const HostPort& target, int timeoutMs);

// Measures every outbound and calls `done(name, ms)` as each result comes
// (from worker threads, one call at a time). Returns when all are done.
void measureAll(const std::vector<std::string>& outbounds, const HostPort& target, int timeoutMs,
                const std::function<void(const std::string&, long long)>& done);

}  // namespace zelvan
