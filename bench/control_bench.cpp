// Control channel cost against the raw round trip between the same two
// processes: the daemon side here, the kernel a forked process that parses
// each request and answers it as the kernel would.
//
//   1. latency: one caller's sendActionAwait round trip vs the same exchange
//      done by hand (same framing, same JSON work, no correlation) with the
//      same peer process, the hand-made one waiting blocking and
//      spin-then-block, in interleaved rounds; the ratio is the median over
//      rounds of the round's ratio against the blocking baseline, which
//      waits as sendActionAwait does; floor: 1.2x;
//   2. throughput: 8 concurrent callers vs 1 caller through sendActionAwait;
//      floor: 3x; also the CPU time both processes spend per request and how
//      many processors that keeps busy: once the callers keep them all busy,
//      the CPU time of a request, not the wait for a wake-up, bounds the
//      ratio;
//   3. a just-under-32 MiB configuration frame written by writeFrame, echoed
//      back by the peer and read by recvFrame, in MB/s.
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"
#include "platform/log.h"

using zelvo::Json;
using zelvo::KernelProcessManager;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Wait;
using bench::raw::readExact;
using bench::raw::writeExact;

bool sendFrame(int fd, const std::string& body) {
  std::string frame(4, '\0');
  const auto n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xff);
  frame += body;
  return writeExact(fd, frame.data(), frame.size());
}

bool recvFrame(int fd, std::string& body, Wait wait = Wait::Block) {
  unsigned char h[4];
  if (!bench::raw::readWaiting(fd, reinterpret_cast<char*>(h), 4, wait)) return false;
  const uint32_t n = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
  body.resize(n);
  return readExact(fd, body.data(), n);
}

// The peer: answers every request with {"id","code":0,"data"}, parsing it as a
// kernel would, and reading and writing as a kernel with buffered streams
// does: every whole frame a read brought in is answered, the answers going
// out together once no whole frame is left. Returns false at end of stream.
bool echoArrived(int fd, std::string& in) {
  char chunk[64 * 1024];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  in.append(chunk, size_t(n));
  std::string out;
  size_t at = 0;
  while (in.size() - at >= 4) {
    const auto* h = reinterpret_cast<const unsigned char*>(in.data() + at);
    const uint32_t len = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
    if (in.size() - at - 4 < len) break;
    const Json req = Json::parse(in.begin() + long(at) + 4, in.begin() + long(at + 4 + len));
    const std::string reply = Json{{"id", req["id"]}, {"code", 0}, {"data", req["data"]}}.dump();
    const auto size = static_cast<uint32_t>(reply.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>((size >> (8 * i)) & 0xff);
    out += reply;
    at += 4 + len;
  }
  in.erase(0, at);
  return out.empty() || writeExact(fd, out.data(), out.size());
}

struct Pair {
  int a = -1, b = -1;
  Pair() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
    a = sv[0];
    b = sv[1];
  }
};

// The kernel's side: one process answering on the b ends of two pairs, one
// for the exchange by hand and one for the manager. One process for both, so
// that the scheduler places the baseline's peer exactly where it places the
// manager's: on two processors a peer that happens to share the caller's
// processor answers several times faster. Forked before this process starts
// any thread.
struct PeerProcess {
  Pair raw, wired;
  pid_t pid = -1;
  PeerProcess() {
    pid = ::fork();
    if (pid == 0) {
      ::close(raw.a);
      ::close(wired.a);
      pollfd fds[2] = {{raw.b, POLLIN, 0}, {wired.b, POLLIN, 0}};
      std::string in[2];
      for (;;) {
        if (::poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
          if (fds[i].revents != 0 && !echoArrived(fds[i].fd, in[i])) _exit(0);
        }
      }
    }
    ::close(raw.b);
    ::close(wired.b);
  }
  ~PeerProcess() {
    ::shutdown(raw.a, SHUT_RDWR);
    ::shutdown(wired.a, SHUT_RDWR);
    ::waitpid(pid, nullptr, 0);
  }
};

// CPU time of this process, its ended threads included, in nanoseconds.
long long ownCpuNanos() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto ns = [](const timeval& t) { return t.tv_sec * 1000000000LL + t.tv_usec * 1000LL; };
  return ns(u.ru_utime) + ns(u.ru_stime);
}

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Raw ping-pong: the caller frames, writes, reads and parses by hand.
double rawRoundTripSeconds(int fd, int iterations, Wait wait) {
  std::string body;
  const auto t0 = Clock::now();
  for (int i = 0; i < iterations; ++i) {
    const Json req{{"id", std::to_string(i + 1)}, {"method", "ping"}, {"data", "x"}};
    if (!sendFrame(fd, req.dump()) || !recvFrame(fd, body, wait)) std::abort();
    const Json reply = Json::parse(body);
    if (reply["data"] != "x") std::abort();
  }
  return since(t0) / iterations;
}

double awaitRoundTripSeconds(KernelProcessManager& m, int iterations) {
  const auto t0 = Clock::now();
  for (int i = 0; i < iterations; ++i) {
    auto reply = m.sendActionAwait("ping", "x", 5);
    if (!reply || (*reply)["data"] != "x") std::abort();
  }
  return since(t0) / iterations;
}

// Requests per second with `callers` threads each sending `each` requests.
double awaitThroughput(KernelProcessManager& m, int callers, int each) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  const auto t0 = Clock::now();
  for (int c = 0; c < callers; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < each; ++i) {
        if (!m.sendActionAwait("ping", "x", 10)) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  const double s = since(t0);
  if (failures) std::abort();
  return callers * each / s;
}

}  // namespace

int main() {
  zelvo::platform::setLogToStderr(false);
  char templ[] = "/tmp/zelvo-bench-XXXXXX";
  const std::string root = ::mkdtemp(templ);
  zelvo::platform::setRoot(root);

  // Short alternating rounds, many of them: the machine is shared, and a
  // burst of outside load then hits a few rounds of both kinds alike.
  constexpr int kRounds = 25, kIterations = 1000, kWarmup = 500;

  // The peers fork before the manager starts its reader thread. Both they
  // and the reader (the daemon's side of a reply) run where the daemon's
  // and kernel's threads run in bench_ipc; the callers where its client does.
  const bench::Placement where;
  where.asServed();
  PeerProcess peer;
  Pair& raw = peer.raw;
  Pair& wired = peer.wired;
  auto manager = std::make_shared<KernelProcessManager>();
  manager->setControlFdForTesting(wired.a);
  manager->startReaderLoop();
  where.asCaller();

  rawRoundTripSeconds(raw.a, kWarmup, Wait::Block);
  rawRoundTripSeconds(raw.a, kWarmup, Wait::Spin);
  awaitRoundTripSeconds(*manager, kWarmup);

  std::vector<double> rawBlock, rawSpin, awaitRtt, logCost, blockRatios, spinRatios;
  for (int r = 0; r < kRounds; ++r) {
    rawBlock.push_back(rawRoundTripSeconds(raw.a, kIterations, Wait::Block));
    rawSpin.push_back(rawRoundTripSeconds(raw.a, kIterations, Wait::Spin));
    awaitRtt.push_back(awaitRoundTripSeconds(*manager, kIterations));
    blockRatios.push_back(awaitRtt.back() / rawBlock.back());
    spinRatios.push_back(awaitRtt.back() / rawSpin.back());
    // The one Kernel log line every request writes ("→ <method>"), alone.
    const auto t0 = Clock::now();
    for (int i = 0; i < kIterations; ++i) KernelProcessManager::log("→ ping");
    logCost.push_back(since(t0) / kIterations);
  }
  std::printf("latency (%d interleaved rounds x %d round trips; medians; %s)\n", kRounds,
              kIterations, where.describe().c_str());
  std::printf("  raw, blocking (baseline)          %8.2f us\n", median(rawBlock) * 1e6);
  std::printf("  raw, spin-then-block (baseline)   %8.2f us\n", median(rawSpin) * 1e6);
  // sendActionAwait sleeps until its reply: the blocking baseline is its match.
  std::printf(
      "  sendActionAwait, 1 caller         %8.2f us  %.2fx blocking (floor <= 1.2x), "
      "%.2fx spin-then-block\n",
      median(awaitRtt) * 1e6, median(blockRatios), median(spinRatios));
  std::printf("    of which the log line           %8.2f us\n", median(logCost) * 1e6);

  std::vector<double> one, eight, scale;
  // CPU time of both processes in nanoseconds, and wall time in seconds.
  long long cpuOne = 0, cpuEight = 0;
  double wallOne = 0, wallEight = 0;
  auto bothCpu = [&] { return ownCpuNanos() + bench::schedNanos(peer.pid); };
  for (int r = 0; r < kRounds; ++r) {
    const long long c0 = bothCpu();
    const double t1 = awaitThroughput(*manager, 1, kIterations);
    const long long c1 = bothCpu();
    const double t8 = awaitThroughput(*manager, 8, kIterations / 4);
    cpuOne += c1 - c0;
    cpuEight += bothCpu() - c1;
    wallOne += kIterations / t1;
    wallEight += 8 * (kIterations / 4) / t8;
    one.push_back(t1);
    eight.push_back(t8);
    scale.push_back(t8 / t1);
  }
  std::printf("throughput (%d alternating rounds; median)\n", kRounds);
  std::printf("  1 caller                    %8.0f req/s\n", median(one));
  std::printf("  8 callers                   %8.0f req/s\n", median(eight));
  std::printf("  ratio (median of rounds)    %8.2fx (floor >= 3x)\n", median(scale));
  const double usOne = double(cpuOne) / 1e3 / (kRounds * kIterations);
  const double usEight = double(cpuEight) / 1e3 / (kRounds * 8 * (kIterations / 4));
  std::printf(
      "  CPU per request, both processes: %.1f us with 1 caller (%.2f processors busy), %.1f us "
      "with 8 (%.2f busy)\n",
      usOne, double(cpuOne) / 1e9 / wallOne, usEight, double(cpuEight) / 1e9 / wallEight);

  manager->closeControlSocket();

  // A configuration frame as large as the receiver accepts. The text looks
  // like a real configuration (quotes, line breaks, non-ASCII), since escaping
  // is most of the writer's work.
  const std::string line = "  - {name: \"香港 01\", type: ss, server: 203.0.113.7, port: 443}\n";
  const size_t overhead = Json{{"id", "1"}, {"method", "setupConfig"}, {"data", ""}}.dump().size();
  const size_t escapedLine = Json(line).dump().size() - 2;  // two quotes and a line break grow
  std::string config;
  for (size_t n = (0x01FFFFFF - overhead) / escapedLine; n > 0; --n) config += line;
  const double frameBytes =
      static_cast<double>(overhead + config.size() / line.size() * escapedLine + 4);
  if (frameBytes - 4 >= 0x01FFFFFF) std::abort();

  std::vector<double> rawSeconds, writeSeconds, readSeconds;
  for (int r = 0; r < 3; ++r) {
    auto big = std::make_shared<KernelProcessManager>();
    Pair p;
    big->setControlFdForTesting(p.a);

    // writeFrame (escaping included) into a peer that reads the whole frame
    // and acknowledges it.
    std::string frame;
    std::thread sink([fd = p.b, &frame] {
      if (recvFrame(fd, frame)) sendFrame(fd, R"({"id":"1"})");
    });
    auto t0 = Clock::now();
    if (!big->writeFrame("1", "setupConfig", config, 30.0)) std::abort();
    if (!big->recvFrame()) std::abort();  // the acknowledgement
    writeSeconds.push_back(since(t0));
    sink.join();

    // Baseline: the same bytes framed and moved by hand, no JSON at all.
    std::thread rawSource([fd = p.b, &frame] { sendFrame(fd, frame); });
    std::string moved;
    t0 = Clock::now();
    if (!recvFrame(p.a, moved) || moved.size() != frame.size()) std::abort();
    rawSeconds.push_back(since(t0));
    rawSource.join();

    // The same frame coming the other way, read and parsed by recvFrame.
    std::thread source([fd = p.b, &frame] { sendFrame(fd, frame); });
    t0 = Clock::now();
    auto back = big->recvFrame();
    readSeconds.push_back(since(t0));
    source.join();
    if (!back || (*back)["data"] != config) std::abort();
    big->closeControlSocket();
    ::close(p.b);
  }
  const double raw32 = median(rawSeconds);
  std::printf("largest frame (%.1f MiB of configuration text; median of 3)\n",
              frameBytes / (1 << 20));
  std::printf("  raw framed transfer         %8.1f ms  %6.0f MB/s\n", raw32 * 1e3,
              frameBytes / raw32 / 1e6);
  std::printf("  writeFrame (escape + send)  %8.1f ms  %6.0f MB/s  %5.2fx raw\n",
              median(writeSeconds) * 1e3, frameBytes / median(writeSeconds) / 1e6,
              median(writeSeconds) / raw32);
  std::printf("  recvFrame (receive + parse) %8.1f ms  %6.0f MB/s  %5.2fx raw\n",
              median(readSeconds) * 1e3, frameBytes / median(readSeconds) / 1e6,
              median(readSeconds) / raw32);

  std::error_code ec;
  std::filesystem::remove_all(root, ec);

  using bench::Floor;
  bench::result("control_raw_block", median(rawBlock) * 1e6, "us");
  bench::result("control_raw_spin", median(rawSpin) * 1e6, "us");
  bench::result("control_await_rtt", median(awaitRtt) * 1e6, "us");
  bench::result("control_log_line", median(logCost) * 1e6, "us");
  bench::result("control_await_ratio_block", median(blockRatios), "x", Floor::AtMost, 1.2);
  bench::result("control_await_ratio_spin", median(spinRatios), "x");
  bench::result("control_cpu_per_request_1", usOne, "us");
  bench::result("control_cpu_per_request_8", usEight, "us");
  bench::result("control_8_callers_scaling", median(scale), "x", Floor::AtLeast, 3);
  bench::result("control_32MiB_write_ratio", median(writeSeconds) / raw32, "x");
  bench::result("control_32MiB_read_ratio", median(readSeconds) / raw32, "x");
  bench::result("control_32MiB_write", frameBytes / median(writeSeconds) / 1e6, "MB/s");
  bench::result("control_32MiB_read", frameBytes / median(readSeconds) / 1e6, "MB/s");
  return 0;
}
