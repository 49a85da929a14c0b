// Shared pieces of the host-integration and fault tests: the stand-in tools'
// files in a sandbox root (service list, proxy state, the recorded calls), child
// processes started by the test, and positions of lines in the daemon's log.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/daemon_process.h"
#include "support/sandbox_root.h"
#include "support/supervision_support.h"

extern char** environ;

namespace zelvo::testing::host {

using namespace zelvo::testing::supervision;
using Args = std::vector<std::string>;

inline std::string standinsDir(const SandboxRoot& root) {
  return root.at("/var/standins");
}

inline void writeText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The lines -listallnetworkservices prints after its header.
inline void setServices(const SandboxRoot& root, const std::string& lines) {
  writeText(standinsDir(root) + "/network-services", lines);
}

inline Json proxyState(const SandboxRoot& root) {
  std::ifstream in(standinsDir(root) + "/networksetup-state.json");
  if (!in) return Json::object();
  return Json::parse(in);
}

// Presets one proxy kind ("web", "secureweb", "socks") of a service.
inline void presetProxy(const SandboxRoot& root, const std::string& service,
                        const std::string& kind, bool enabled, const std::string& server,
                        const std::string& port) {
  Json s = proxyState(root);
  s[service][kind] = {{"enabled", enabled}, {"server", server}, {"port", port}};
  writeText(standinsDir(root) + "/networksetup-state.json", s.dump());
}

inline bool proxyEnabled(const SandboxRoot& root, const std::string& service,
                         const std::string& kind) {
  const Json s = proxyState(root);
  return s.contains(service) && s[service].contains(kind) && s[service][kind]["enabled"] == true;
}

// Every recorded stand-in call, each as [tool, args...], in call order.
inline std::vector<Args> standinCalls(const SandboxRoot& root) {
  std::vector<Args> calls;
  std::ifstream in(standinsDir(root) + "/calls.jsonl");
  for (std::string line; std::getline(in, line);) calls.push_back(Json::parse(line).get<Args>());
  return calls;
}

// The calls of one tool, without its name.
inline std::vector<Args> callsOf(const SandboxRoot& root, const std::string& tool) {
  std::vector<Args> out;
  for (const auto& c : standinCalls(root)) {
    if (!c.empty() && c.front() == tool) out.emplace_back(c.begin() + 1, c.end());
  }
  return out;
}

// networksetup calls that change a setting.
inline std::vector<Args> settingCalls(const SandboxRoot& root) {
  std::vector<Args> out;
  for (const auto& c : callsOf(root, "networksetup")) {
    if (!c.empty() && c.front().rfind("-set", 0) == 0) out.push_back(c);
  }
  return out;
}

inline void clearCalls(const SandboxRoot& root) {
  std::filesystem::remove(standinsDir(root) + "/calls.jsonl");
}

inline std::vector<Args> offCommands(const std::vector<std::string>& services) {
  std::vector<Args> out;
  for (const auto& s : services) {
    out.push_back({"-setwebproxystate", s, "off"});
    out.push_back({"-setsecurewebproxystate", s, "off"});
    out.push_back({"-setsocksfirewallproxystate", s, "off"});
  }
  return out;
}

// Index of the first line of `lines` at or after `from` containing `needle`;
// lines.size() when there is none.
inline size_t lineIndex(const std::vector<std::string>& lines, std::string_view needle,
                        size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find(needle) != std::string::npos) return i;
  }
  return lines.size();
}

// Waits until the daemon has finished starting up: launch reconciliation is
// over once the line about the kernel executable is logged. A kernel started
// by a request before then would be taken for a survivor of an earlier run.
inline bool waitUntilSettled(const DaemonProcess& daemon) {
  return eventually(
      [&] {
        return daemon.countLog("[Helper] 内核 version: ") +
                   daemon.countLog("[Helper] Warning: 内核 binary not found") >
               0;
      },
      20.0);
}

// The daemon and the reference kernel in a sandbox root, started and settled.
class HostTest : public SupervisionTest {
 protected:
  void startDaemon(const Env& env = {}) {
    SupervisionTest::startDaemon(env);
    ASSERT_TRUE(waitUntilSettled(*daemon_));
  }
};

// A process started by the test; SIGKILLed and reaped when it goes away.
class Child {
 public:
  explicit Child(const Args& argv, const std::string& outputPath = {}) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputPath.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void kill(int signo) const { ::kill(pid_, signo); }
  // Reaps the child; returns its wait status.
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace zelvo::testing::host
