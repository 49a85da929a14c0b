// The groups of zelvoctl commands; main.cpp registers them in this order.
#pragma once

#include <vector>

#include "ctl.h"

namespace zelvoctl {

// version, kernel-version
std::vector<Command> infoCommands();

// proxy set|clear, flush-dns, install-kernel, uninstall, watch
std::vector<Command> hostCommands();

// start, stop, reload, status, traffic, select, mode, tun, query, delays, session
std::vector<Command> proxyCommands();

inline std::vector<Command> allCommands() {
  std::vector<Command> all;
  for (auto group : {infoCommands, proxyCommands, hostCommands}) {
    for (auto& c : group()) all.push_back(std::move(c));
  }
  return all;
}

}  // namespace zelvoctl
