// The one fixture of the daemon-level tests: a sandbox root laid out by
// scripts/sandbox with the reference kernel preinstalled, the real daemon
// running under it, a client, and what a user could look at afterwards (the
// daemon's log lines as they appear, the stand-in tools' recorded calls and
// proxy state, the kernel processes of this root, files under the root).
//
// Each test executable runs in its own PID namespace (see ns_main.cpp), so
// the daemon's pgrep/pkill see only this test's kernels and tests run side by
// side.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "client/helper_client.h"
#include "support/proc_scan.h"

namespace zelvo::testing {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using Args = std::vector<std::string>;
using Env = std::vector<std::pair<std::string, std::string>>;

template <class Pred>
bool eventually(Pred pred, double timeoutSeconds, double stepSeconds = 0.005) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(stepSeconds));
  }
}

inline double secondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text, mode_t mode = 0);
std::vector<std::string> splitLines(const std::string& text);
// Every regular file under `dir` whose bytes contain `needle`.
std::vector<std::string> filesContaining(const std::string& dir, const std::string& needle);

// A configuration the reference kernel runs: a mixed listener on `port`, a
// select group "Proxy" of node-a and node-b; `marker` goes into a comment.
std::string yamlConfig(uint16_t port, const std::string& marker = {});
// A text found nowhere else, to prove a configuration never reaches a file.
std::string uniqueMarker();

// A child process of the test, killed and reaped when it goes away.
class Child {
 public:
  explicit Child(const Args& argv, const Env& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Waits for the exit; the wait status, or -1 at the deadline.
  int wait(double timeoutSeconds);

 private:
  pid_t pid_ = -1;
};

// A `sleep` child given `pid`, a number no process holds now, the way the
// system hands out a number that has come round again; null when another
// process took it first.
std::unique_ptr<Child> childNumbered(pid_t pid);

struct ProgramOutput {
  int exitCode = -1;  // -1 when killed at the time-out or by a signal
  std::string out, err;
};
ProgramOutput runProgram(const Args& argv, double timeoutSeconds = 30);

// Echoes every byte on any number of loopback connections until destroyed.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
  uint16_t port_ = 0;
  std::thread acceptor_;
};

// A SOCKS5 tunnel through a kernel listener to 127.0.0.1:destPort; -1 when
// the kernel does not carry it.
int socks5Tunnel(uint16_t proxyPort, uint16_t destPort);
// One echo round trip of `payload` over a tunnel.
bool echoes(int fd, const std::string& payload);

// A client written from the wire format alone: a 4-byte little-endian
// length, then a MessagePack map. For foreign-client and bad-input tests.
class WireClient {
 public:
  explicit WireClient(const std::string& socketPath);
  ~WireClient();
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;
  // `body` behind a header that claims `length` bytes.
  static std::string frame(const std::string& body, uint32_t length);
  static std::string frame(const std::string& body) { return frame(body, uint32_t(body.size())); }
  // A request with members of any type, fitting the protocol or not.
  static std::string request(const Json& seq, const Json& sel, const Json& args);
  bool send(const std::string& bytes);  // false when not all went within 5 s
  // The next reply; null when none came within 5 s or the daemon closed.
  Json receive();
  // True when the daemon closes the connection within 5 s.
  bool closedByPeer();

 private:
  int fd_;
};

class Scenario : public ::testing::Test {
 protected:
  Scenario();
  ~Scenario() override;
  void TearDown() override;

  const std::string& root() const { return root_; }
  std::string at(std::string_view absolutePath) const { return root_ + std::string(absolutePath); }
  std::string dataDir() const;
  std::string kernelPath() const;  // the preinstalled kernel
  std::string socketPath() const;

  // ---- The daemon ----
  // Starts `zelvo-helper --root R extra...` with `env` added (the kernel
  // inherits it, so fault switches go here) and waits until it listens and
  // has finished reconciling what an earlier run left.
  void startDaemon(const Args& extra = {}, const Env& env = {});
  // How later startDaemon calls start it: `program` instead of the built
  // helper; a listening socket handed over as a service manager does
  // (descriptor 3, LISTEN_FDS=1 and LISTEN_PID the daemon's own, or with
  // `foreignPid` another process's).
  struct Launch {
    std::string program;
    int handedSocket = -1;
    bool foreignPid = false;
  };
  void setLaunch(Launch launch) { launch_ = std::move(launch); }
  void killDaemon();  // SIGKILL and reap
  // Waits for the daemon to exit by itself; its wait status or -1.
  int waitDaemonExit(double timeoutSeconds);
  pid_t daemonPid() const;
  std::vector<std::string> log() const;  // every line of every run
  size_t countLog(std::string_view needle) const;
  // When the `nth` line of the log (every run) containing `needle` was first
  // seen, polling every 5 ms; nothing at the deadline.
  std::optional<Clock::time_point> waitLog(std::string_view needle, double timeoutSeconds,
                                           size_t nth = 1) const;
  // The needles appear in this order in the log, from line `from` on.
  ::testing::AssertionResult logInOrder(const std::vector<std::string>& needles,
                                        size_t from = 0) const;

  // ---- The client (connects lazily, reconnects after a break) ----
  HelperClient& client();
  // Starts the kernel on a free port; returns the port.
  uint16_t startKernel(const std::string& marker = {});

  // ---- The kernel ----
  std::vector<pid_t> kernelPids() const;  // live processes of this root's kernels
  pid_t kernelPid() const;                // the one kernel, or 0
  std::string kernelLog() const;
  size_t kernelReceived(const std::string& method) const;  // by the kernel's own log
  // A request of `method` through the whitelisted query, parsed.
  Json query(const std::string& method, const std::string& data = "");

  // ---- The stand-in tools ----
  std::vector<Args> calls() const;                         // every call, the tool's name first
  std::vector<Args> calls(const std::string& tool) const;  // without the tool's name
  void clearCalls() const;
  void setServices(const std::string& lines) const;
  Json proxyState() const;
  void presetProxy(const std::string& service, const std::string& kind, bool enabled,
                   const std::string& server, const std::string& port) const;

 private:
  class Daemon;
  std::string root_;
  std::unique_ptr<Daemon> daemon_;
  Launch launch_;
  std::unique_ptr<HelperClient> client_;
};

}  // namespace zelvo::testing
