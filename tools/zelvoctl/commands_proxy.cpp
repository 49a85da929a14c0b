// Commands that run and steer the kernel: start, stop and reload with a
// configuration file, status and traffic, outbound selection, routing mode,
// TUN, and the read-only query passthrough (with `delays` for the delay
// results the kernel pushed).
//
// Every command prints one short answer on standard output and exits 0 when
// the helper reports success, 1 when it reports failure (or has no answer),
// and 2 when the helper cannot be reached.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <thread>
#include <vector>

#include "commands.h"

namespace zelvoctl {

namespace {

int reportBool(Ctl& ctl, const std::string& what, const zelvo::Result<bool>& r) {
  int status = 0;
  if (!ctl.check(what, r, &status)) return status;
  ctl.out() << (*r ? "ok" : "failed") << "\n";
  return *r ? 0 : 1;
}

int reportOperation(Ctl& ctl, const std::string& what, const std::string& done,
                    const zelvo::Result<zelvo::OperationResult>& r) {
  int status = 0;
  if (!ctl.check(what, r, &status)) return status;
  if (r->success) {
    ctl.out() << done << "\n";
    return 0;
  }
  ctl.out() << "failed: " << r->message.value_or("(no message)") << "\n";
  return 1;
}

// The configuration text of FILE, or of standard input for "-". The helper
// holds it in memory only; nothing here writes it anywhere.
bool readConfig(Ctl& ctl, const std::string& path, std::string* text) {
  if (path == "-") {
    text->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ctl.err() << "zelvoctl: cannot read " << path << "\n";
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

Command configCommand(const std::string& name, const std::string& description, bool reload) {
  auto file = std::make_shared<std::string>();
  return {name, description,
          [file](CLI::App& sub) {
            sub.add_option("FILE", *file, "Kernel configuration (YAML or JSON; - for stdin)")
                ->required();
          },
          [file, reload](Ctl& ctl) {
            std::string config;
            if (!readConfig(ctl, *file, &config)) return 1;
            if (reload) {
              return reportOperation(ctl, "reloadProxy", "reloaded",
                                     ctl.client().reloadProxy(config));
            }
            return reportOperation(ctl, "startProxy", "started", ctl.client().startProxy(config));
          }};
}

Command statusCommand() {
  auto json = std::make_shared<bool>(false);
  return {"status", "Show the status record: running, ports, mode (always rule), traffic",
          [json](CLI::App& sub) { sub.add_flag("--json", *json, "Print the record as JSON"); },
          [json](Ctl& ctl) {
            int status = 0;
            auto r = ctl.client().getProxyStatus();
            if (!ctl.check("getProxyStatus", r, &status)) return status;
            if (!r->has_value()) {
              ctl.err() << "zelvoctl: the helper sent no status record\n";
              return 1;
            }
            const zelvo::ProxyStatus& s = **r;
            if (*json) {
              nlohmann::json j = {{"isRunning", s.isRunning}, {"httpPort", s.httpPort},
                                  {"socksPort", s.socksPort}, {"mode", s.mode},
                                  {"uplink", s.uplink},       {"downlink", s.downlink}};
              if (s.errorMessage) j["errorMessage"] = *s.errorMessage;
              ctl.out() << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
              return 0;
            }
            ctl.out() << "running:    " << (s.isRunning ? "yes" : "no") << "\n"
                      << "http port:  " << s.httpPort << "\n"
                      << "socks port: " << s.socksPort << "\n"
                      << "mode:       " << (s.mode.empty() ? "-" : s.mode) << "\n"
                      << "uplink:     " << s.uplink << " bytes\n"
                      << "downlink:   " << s.downlink << " bytes\n";
            if (s.errorMessage) ctl.out() << "error:      " << *s.errorMessage << "\n";
            return 0;
          }};
}

Command trafficCommand() {
  auto json = std::make_shared<bool>(false);
  return {"traffic", "Show the kernel's current rate and total traffic",
          [json](CLI::App& sub) { sub.add_flag("--json", *json, "Print the counters as JSON"); },
          [json](Ctl& ctl) {
            int status = 0;
            auto r = ctl.client().getTrafficStats();
            if (!ctl.check("getTrafficStats", r, &status)) return status;
            if (*json) {
              ctl.out() << nlohmann::json{{"up", r->up},
                                          {"down", r->down},
                                          {"totalUp", r->totalUp},
                                          {"totalDown", r->totalDown}}
                               .dump()
                        << "\n";
              return 0;
            }
            ctl.out() << "up:         " << r->up << "\n"
                      << "down:       " << r->down << "\n"
                      << "total up:   " << r->totalUp << " bytes\n"
                      << "total down: " << r->totalDown << " bytes\n";
            return 0;
          }};
}

Command selectCommand() {
  struct Args {
    std::string group, outbound;
  };
  auto args = std::make_shared<Args>();
  return {"select",
          "Select OUTBOUND in proxy group GROUP (and in GLOBAL), closing open connections",
          [args](CLI::App& sub) {
            sub.add_option("GROUP", args->group, "Proxy group")->required();
            sub.add_option("OUTBOUND", args->outbound, "Outbound in that group")->required();
          },
          [args](Ctl& ctl) {
            return reportBool(ctl, "selectOutbound",
                              ctl.client().selectOutbound(args->group, args->outbound));
          }};
}

Command modeCommand() {
  auto mode = std::make_shared<std::string>();
  return {"mode",
          "Switch the routing mode (passed to the kernel as given: rule, global, direct), closing "
          "open connections",
          [mode](CLI::App& sub) { sub.add_option("MODE", *mode, "Routing mode")->required(); },
          [mode](Ctl& ctl) {
            return reportBool(ctl, "setRouteMode", ctl.client().setRouteMode(*mode));
          }};
}

Command tunCommand() {
  auto state = std::make_shared<std::string>();
  return {"tun", "Turn the kernel's TUN mode on or off",
          [state](CLI::App& sub) {
            sub.add_option("STATE", *state, "on or off")
                ->required()
                ->check(CLI::IsMember({"on", "off"}));
          },
          [state](Ctl& ctl) {
            return reportBool(ctl, "updateTun", ctl.client().updateTun(*state == "on"));
          }};
}

int reportQuery(Ctl& ctl, const std::string& method,
                const zelvo::Result<std::optional<std::string>>& r) {
  int status = 0;
  if (!ctl.check("kernelQuery", r, &status)) return status;
  if (!r->has_value()) {
    ctl.err() << "zelvoctl: no answer to " << method
              << " (refused, kernel not running, or no usable reply)\n";
    return 1;
  }
  ctl.out() << **r << "\n";
  return 0;
}

Command queryCommand() {
  struct Args {
    std::string method, data;
  };
  auto args = std::make_shared<Args>();
  return {"query",
          "Pass a read-only query to the kernel (getProxies, getConfig, getConnections, "
          "getMemory, getTraffic, getTotalTraffic, getExternalProviders, asyncTestDelay)",
          [args](CLI::App& sub) {
            sub.add_option("METHOD", args->method, "Kernel method")->required();
            sub.add_option("DATA", args->data, "Payload, passed unchanged (default empty)");
          },
          [args](Ctl& ctl) {
            return reportQuery(ctl, args->method,
                               ctl.client().kernelQuery(args->method, args->data));
          }};
}

std::vector<Command> kernelCommands();

// The commands a session line may name: every command but the two that hold
// the connection themselves.
std::vector<Command> sessionLineCommands() {
  std::vector<Command> commands;
  for (auto& c : allCommands()) {
    if (c.name != "session" && c.name != "watch") commands.push_back(std::move(c));
  }
  return commands;
}

// Runs commands read from standard input over one connection, the way the
// client application works. This matters for the helper's watchdog: it
// watches the client that connected last and stops the kernel once that
// process is gone, so a kernel started by a one-shot `zelvoctl start` is torn
// down a few seconds after that process exits.
Command sessionCommand() {
  return {
      "session",
      "Run commands read from standard input, one per line (\"sleep SECONDS\" "
      "pauses), over one connection, as the client application does; stops at the first "
      "failing command",
      [](CLI::App&) {},
      [](Ctl& ctl) {
        std::string line;
        while (std::getline(std::cin, line)) {
          std::istringstream words(line);
          std::vector<std::string> args;
          for (std::string w; words >> w;) args.push_back(w);
          if (args.empty() || args.front().front() == '#') continue;
          ctl.out() << "> " << line << std::endl;
          if (args.front() == "sleep" && args.size() == 2) {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(args[1].c_str())));
            continue;
          }
          CLI::App app{"session"};
          app.require_subcommand(1);
          auto commands = sessionLineCommands();
          std::vector<CLI::App*> subs;
          for (auto& c : commands) {
            subs.push_back(app.add_subcommand(c.name, c.description));
            c.configure(*subs.back());
          }
          std::vector<std::string> reversed(args.rbegin(), args.rend());
          try {
            app.parse(reversed);
          } catch (const CLI::ParseError& e) {
            ctl.err() << "zelvoctl: session: " << e.what() << std::endl;
            return kUsageError;
          }
          for (size_t i = 0; i < commands.size(); ++i) {
            if (!subs[i]->parsed()) continue;
            const int status = commands[i].run(ctl);
            ctl.out().flush();
            if (status != 0) return status;
          }
        }
        return 0;
      }};
}

}  // namespace

std::vector<Command> proxyCommands() {
  std::vector<Command> commands = kernelCommands();
  commands.push_back(sessionCommand());
  return commands;
}

namespace {

std::vector<Command> kernelCommands() {
  std::vector<Command> commands;
  commands.push_back(configCommand("start",
                                   "Start the kernel with the configuration in FILE "
                                   "(replacing a running one)",
                                   false));
  commands.push_back(
      {"stop", "Stop the kernel", [](CLI::App&) {},
       [](Ctl& ctl) { return reportBool(ctl, "stopProxy", ctl.client().stopProxy()); }});
  commands.push_back(
      configCommand("reload", "Hand the running kernel the configuration in FILE", true));
  commands.push_back(statusCommand());
  commands.push_back(trafficCommand());
  commands.push_back(selectCommand());
  commands.push_back(modeCommand());
  commands.push_back(tunCommand());
  commands.push_back(queryCommand());
  commands.push_back(
      {"delays", "Show the delay results the kernel pushed (proxy -> ms)", [](CLI::App&) {},
       [](Ctl& ctl) {
         return reportQuery(ctl, "__pushedDelays", ctl.client().kernelQuery("__pushedDelays", ""));
       }});
  return commands;
}

}  // namespace

}  // namespace zelvoctl
