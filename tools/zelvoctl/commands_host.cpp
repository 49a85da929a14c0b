// Commands of the host integration: the system proxy, the DNS cache, kernel
// installation, removal of the helper, and `watch`, a client that stays
// connected so the helper's watchdog has a process to watch.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>

#include "commands.h"

namespace zelvoctl {

namespace {

// Bool replies print "ok" and exit 0, or "failed" and exit 1.
int reportBool(Ctl& ctl, const std::string& what, const zelvo::Result<bool>& r) {
  int status = 0;
  if (!ctl.check(what, r, &status)) return status;
  ctl.out() << (*r ? "ok" : "failed") << "\n";
  return *r ? 0 : 1;
}

struct ProxyArgs {
  CLI::App* set = nullptr;
  CLI::App* clear = nullptr;
  std::string host;
  int64_t httpPort = 0;
  int64_t socksPort = 0;
};

Command proxyCommand() {
  auto args = std::make_shared<ProxyArgs>();
  return {"proxy",
          "Set or clear the system proxy of every enabled network service (macOS), or of every "
          "user with an active graphical session (Linux)",
          [args](CLI::App& sub) {
            sub.require_subcommand(1);
            args->set = sub.add_subcommand("set",
                                           "Point the web, secure web and SOCKS proxies "
                                           "at HOST");
            args->set->add_option("HOST", args->host, "Proxy host")->required();
            args->set->add_option("HTTP", args->httpPort, "HTTP and HTTPS port")->required();
            args->set->add_option("SOCKS", args->socksPort, "SOCKS port")->required();
            args->clear = sub.add_subcommand("clear", "Turn the three proxies off");
          },
          [args](Ctl& ctl) {
            if (args->set->parsed()) {
              return reportBool(
                  ctl, "setSystemProxy",
                  ctl.client().setSystemProxy(args->host, args->httpPort, args->socksPort));
            }
            return reportBool(ctl, "clearSystemProxy", ctl.client().clearSystemProxy());
          }};
}

Command installKernelCommand() {
  auto file = std::make_shared<std::string>();
  return {"install-kernel", "Upload FILE as the kernel executable (tried with `version` first)",
          [file](CLI::App& sub) { sub.add_option("FILE", *file, "Kernel executable")->required(); },
          [file](Ctl& ctl) {
            std::ifstream in(*file, std::ios::binary | std::ios::ate);
            if (!in) {
              ctl.err() << "zelvoctl: cannot read " << *file << "\n";
              return 1;
            }
            std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
            in.seekg(0);
            if (!in.read(reinterpret_cast<char*>(bytes.data()),
                         static_cast<std::streamsize>(bytes.size()))) {
              ctl.err() << "zelvoctl: cannot read " << *file << "\n";
              return 1;
            }
            // Sending a large upload and the helper's trial run take a while.
            ctl.client().setTimeout(std::chrono::minutes(5));
            int status = 0;
            auto r = ctl.client().installKernel(std::move(bytes));
            if (!ctl.check("installKernel", r, &status)) return status;
            if (r->success) {
              ctl.out() << "installed\n";
              return 0;
            }
            ctl.out() << "failed: " << r->message.value_or("(no message)") << "\n";
            return 1;
          }};
}

Command watchCommand() {
  return {"watch",
          "Stay connected until killed, as the client application does (the helper's "
          "watchdog tears down the kernel and system proxy when this process vanishes)",
          [](CLI::App&) {},
          [](Ctl& ctl) {
            struct Lost {
              std::mutex mu;
              std::condition_variable cv;
              bool lost = false;
            };
            auto lost = std::make_shared<Lost>();
            ctl.client().setInterruptionHandler([lost] {
              std::lock_guard<std::mutex> g(lost->mu);
              lost->lost = true;
              lost->cv.notify_all();
            });
            try {
              ctl.client().connect();
            } catch (const zelvo::platform::Error& e) {
              return ctl.fail("connect", e);
            }
            // The helper records the process id at accept; a round trip makes
            // sure it has done so before we say we are connected.
            int status = 0;
            auto version = ctl.client().getVersion();
            if (!ctl.check("getVersion", version, &status)) return status;
            ctl.out() << "watching: connected to " << ctl.client().socketPath() << " as pid "
                      << ::getpid() << " (helper " << *version << ")" << std::endl;
            std::unique_lock<std::mutex> lock(lost->mu);
            lost->cv.wait(lock, [&] { return lost->lost; });
            ctl.err() << "zelvoctl: the helper closed the connection\n";
            return 2;
          }};
}

}  // namespace

std::vector<Command> hostCommands() {
  std::vector<Command> commands;
  commands.push_back(proxyCommand());
  commands.push_back(
      {"flush-dns", "Flush the DNS caches", [](CLI::App&) {},
       [](Ctl& ctl) { return reportBool(ctl, "flushDNS", ctl.client().flushDNS()); }});
  commands.push_back(installKernelCommand());
  commands.push_back({"uninstall",
                      "Remove the helper: stop the kernel, clear the system proxy, remove the "
                      "launchd job and files (Linux: disable the units); the helper then exits",
                      [](CLI::App&) {},
                      [](Ctl& ctl) {
                        return reportBool(ctl, "uninstallHelper", ctl.client().uninstallHelper());
                      }});
  commands.push_back(watchCommand());
  return commands;
}

}  // namespace zelvoctl
