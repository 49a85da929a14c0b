// IPC round-trip cost, measured in one run against its baseline:
//
//   baseline  a raw framed ping-pong over a Unix socket with a child process
//             (the same 4-byte little-endian framing, a tiny body)
//   measured  getVersion (and getKernelVersion) through HelperClient against
//             the real daemon running in a fresh sandbox root
//
// It prints the p50 and p99 of each, the ratio of the p50s (target: within
// 3x), and the idle daemon's resident memory (target: under 8 MiB in a
// release build) and CPU use over ten idle seconds (target: none).
//
//   bench_ipc [--iterations N] [--idle-seconds S]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_client.h"
#include "platform/ipc_frame.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
  double p50 = 0, p99 = 0;
};

// The baseline: a child process echoes frames on a socketpair.
class RawEcho {
 public:
  RawEcho() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::exit(1);
    child_ = ::fork();
    if (child_ == 0) {
      ::close(sv[0]);
      for (;;) {
        int err = 0;
        auto body = zelvo::platform::readFrame(sv[1], &err);
        if (!body) _exit(0);
        std::vector<uint8_t> frame{uint8_t(body->size()), 0, 0, 0};
        frame.insert(frame.end(), body->begin(), body->end());
        if (zelvo::platform::writeAll(sv[1], frame.data(), frame.size()) != 0) _exit(0);
      }
    }
    ::close(sv[1]);
    fd_ = sv[0];
    zelvo::platform::IpcValue ping = {{"seq", 1}, {"sel", "ping"}, {"args", nullptr}};
    frame_ = zelvo::platform::encodeFrame(ping);
  }
  ~RawEcho() {
    ::close(fd_);
    ::waitpid(child_, nullptr, 0);
  }
  void roundTrip() {
    zelvo::platform::writeAll(fd_, frame_.data(), frame_.size());
    int err = 0;
    if (!zelvo::platform::readFrame(fd_, &err)) std::exit(1);
  }

 private:
  int fd_ = -1;
  pid_t child_ = -1;
  std::vector<uint8_t> frame_;
};

// Runs the cases in alternating rounds, so that a machine whose load changes
// during the run weighs on all of them alike.
std::vector<Stats> measureInterleaved(int iterations,
                                      const std::vector<std::function<void()>>& cases) {
  constexpr int kRounds = 10;
  std::vector<std::vector<double>> samples(cases.size());
  for (auto& c : cases) {
    for (int i = 0; i < iterations / 20; ++i) c();  // warm-up
  }
  for (int round = 0; round < kRounds; ++round) {
    for (size_t k = 0; k < cases.size(); ++k) {
      for (int i = 0; i < iterations / kRounds; ++i) {
        auto t0 = Clock::now();
        cases[k]();
        samples[k].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    }
  }
  std::vector<Stats> out;
  for (auto& us : samples) {
    std::sort(us.begin(), us.end());
    out.push_back({us[us.size() / 2], us[us.size() * 99 / 100]});
  }
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

long rssKiB(pid_t pid) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

long cpuTicks(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string f;
  long total = 0;
  for (int i = 3; i <= 15 && in >> f; ++i) {
    if (i == 14 || i == 15) total += std::stol(f);
  }
  return total;
}

pid_t spawn(const std::vector<std::string>& argv, const char* stdoutPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutPath) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath, O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stdoutPath, O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = 20000;
  double idleSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--iterations")) iterations = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--idle-seconds")) idleSeconds = std::atof(argv[i + 1]);
  }
  ::signal(SIGPIPE, SIG_IGN);

  char tmpl[] = "/tmp/zelvo-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  pid_t layout = spawn({std::string(ZELVO_SOURCE_DIR) + "/scripts/sandbox", root}, nullptr);
  int st = 0;
  if (layout < 0 || ::waitpid(layout, &st, 0) < 0 || st != 0) {
    std::fprintf(stderr, "bench_ipc: scripts/sandbox failed\n");
    return 1;
  }
  pid_t daemon = spawn({ZELVO_HELPER_BIN, "--root", root}, "/dev/null");
  std::string socketPath = zelvo::HelperClient::socketPathForRoot(root);
  for (int i = 0; i < 500; ++i) {
    struct stat sb {};
    if (::stat(socketPath.c_str(), &sb) == 0 && S_ISSOCK(sb.st_mode)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int status = 0;
  auto cleanup = [&] {
    ::kill(daemon, SIGKILL);
    ::waitpid(daemon, nullptr, 0);
    std::filesystem::remove_all(root);
  };

  // Idle figures first, before any client has connected.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  long idleRss = rssKiB(daemon);
  long ticks0 = cpuTicks(daemon);
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  long idleTicks = cpuTicks(daemon) - ticks0;

  RawEcho echo;
  zelvo::HelperClient client(socketPath);
  bool failed = false;
  auto stats = measureInterleaved(
      iterations, {[&] { echo.roundTrip(); }, [&] { failed |= !client.getVersion().ok(); },
                   [&] { failed |= !client.getKernelVersion().ok(); }});
  Stats raw = stats[0], version = stats[1], kernelVersion = stats[2];
  long busyRss = rssKiB(daemon);
  cleanup();
  if (failed) {
    std::fprintf(stderr, "bench_ipc: a call failed\n");
    return 1;
  }

  double ratio = version.p50 / raw.p50;
  std::printf("ipc round trip, %d iterations each, in alternating rounds\n", iterations);
  std::printf("  raw framed ping-pong (baseline)  p50 %7.1f us  p99 %7.1f us\n", raw.p50, raw.p99);
  std::printf(
      "  getVersion via HelperClient      p50 %7.1f us  p99 %7.1f us  ratio %.2fx "
      "(target <= 3x)\n",
      version.p50, version.p99, ratio);
  std::printf("  getKernelVersion via HelperClient p50 %6.1f us  p99 %7.1f us  ratio %.2fx\n",
              kernelVersion.p50, kernelVersion.p99, kernelVersion.p50 / raw.p50);
  std::printf("idle daemon: RSS %ld KiB (%.1f MiB, target < 8 MiB), after the runs %ld KiB\n",
              idleRss, idleRss / 1024.0, busyRss);
  std::printf("idle daemon: CPU %ld ticks of 1/%ld s over %.0f s (target 0)\n", idleTicks,
              sysconf(_SC_CLK_TCK), idleSeconds);
  return status;
}
