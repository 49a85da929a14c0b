// The daemon as its clients see it, against baselines measured in the same run:
//
//   idle     the daemon's resident memory (highest of one sample a second)
//            and CPU time over an idle spell before any client connects
//            (BENCH_IDLE_SECONDS, default 60); floors: under 8 MiB, no CPU
//            tick at all
//   latency  getVersion through HelperClient against a raw framed ping-pong
//            over a Unix socket with a child process (the same 4-byte
//            little-endian framing, a tiny body), in short alternating
//            rounds; the ratio is the median over rounds of the round's p50
//            against the baseline's p50 in the same round; floor: 2x. The
//            same request framed by hand, without the client library, shows
//            the daemon's own share. getVersion and getKernelVersion answer
//            from memory and are served on the daemon's I/O thread;
//            getProxyStatus with no kernel running shows the cost of a
//            request handed to its connection's queue
//   idle connections
//            1,000 further connections, each having made one request and
//            then idle: the daemon's resident memory per connection (floor:
//            under 64 KiB) and an active client's round trip among them
//            against its own round trip without them just before they open
//            and just after they close (floor: under 2x, the median of three
//            times); the memory is the first time's, before the daemon has
//            freed any connection's memory for reuse
//
//   bench_ipc [--iterations N] [--idle-seconds S] [--connections N]
#include <sys/resource.h>

#include <functional>

#include "bench_support.h"
#include "client/helper_client.h"
#include "platform/ipc_frame.h"
#include "service/helper_protocol.h"

namespace {

using bench::Clock;
using bench::Floor;
using bench::result;

struct Stats {
  double p50 = 0, p99 = 0;
};

Stats statsOf(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// The baseline: a child process echoes frames on a socketpair.
class RawEcho {
 public:
  RawEcho() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) bench::die("socketpair");
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
    if (!zelvo::platform::readFrame(fd_, &err)) bench::die("the echo child went away");
  }

 private:
  int fd_ = -1;
  pid_t child_ = -1;
  std::vector<uint8_t> frame_;
};

// Runs the cases in alternating rounds, so that a machine whose load changes
// during the run weighs on all of them alike. Returns each case's samples
// (us), round by round.
using Rounds = std::vector<std::vector<double>>;
std::vector<Rounds> measureInterleaved(int iterations, int rounds,
                                       const std::vector<std::function<void()>>& cases) {
  std::vector<Rounds> samples(cases.size(), Rounds(size_t(rounds)));
  for (auto& c : cases) {
    for (int i = 0; i < iterations / 20; ++i) c();  // warm-up
  }
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < cases.size(); ++k) {
      for (int i = 0; i < iterations / rounds; ++i) {
        auto t0 = Clock::now();
        cases[k]();
        samples[k][size_t(round)].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    }
  }
  return samples;
}

std::vector<double> flatten(const Rounds& rounds) {
  std::vector<double> all;
  for (const auto& r : rounds) all.insert(all.end(), r.begin(), r.end());
  return all;
}

// The median over rounds of (p50 of `a` in the round / p50 of `b` in it).
double medianRatio(const Rounds& a, const Rounds& b) {
  std::vector<double> ratios;
  for (size_t r = 0; r < a.size(); ++r) ratios.push_back(statsOf(a[r]).p50 / statsOf(b[r]).p50);
  return bench::median(ratios);
}

// Round trips of one client's getVersion, in microseconds.
std::vector<double> timeCalls(zelvo::HelperClient& client, int n, bool* failed) {
  std::vector<double> us;
  us.reserve(size_t(n));
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    *failed |= !client.getVersion().ok();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return us;
}

// One request on a raw connection, answered: the daemon has accepted the
// connection and served it, so what it keeps for it is in place.
bool oneRequest(int fd, uint64_t seq) {
  zelvo::platform::IpcValue req = {{"seq", seq},
                                   {"sel", zelvo::HelperProtocol::getVersion},
                                   {"args", zelvo::platform::IpcValue::array()}};
  const auto frame = zelvo::platform::encodeFrame(req);
  if (zelvo::platform::writeAll(fd, frame.data(), frame.size()) != 0) return false;
  int err = 0;
  return zelvo::platform::readFrame(fd, &err).has_value();
}

}  // namespace

int measure(int argc, char** argv) {
  int iterations = 20000;
  int connections = 1000;
  double idleSeconds = 60;
  if (const char* env = std::getenv("BENCH_IDLE_SECONDS")) idleSeconds = std::atof(env);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--iterations")) iterations = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--idle-seconds")) idleSeconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--connections")) connections = std::atoi(argv[i + 1]);
  }
  ::signal(SIGPIPE, SIG_IGN);

  // The idle connections need a descriptor each, here and in the daemon
  // (which inherits this limit).
  rlimit nofile{};
  ::getrlimit(RLIMIT_NOFILE, &nofile);
  const rlim_t wanted = rlim_t(connections) + 256;
  if (nofile.rlim_cur < wanted) {
    if (nofile.rlim_max != RLIM_INFINITY && nofile.rlim_max < wanted) {
      bench::die("the descriptor limit (" + std::to_string(nofile.rlim_max) + ") is too low for " +
                 std::to_string(connections) + " connections");
    }
    nofile.rlim_cur = wanted;
    ::setrlimit(RLIMIT_NOFILE, &nofile);
  }

  bench::Daemon daemon;
  const pid_t pid = daemon.pid();
  const long tick = ::sysconf(_SC_CLK_TCK);

  // ---- Idle, before any client has connected ----
  long idleRss = bench::rssKiB(pid);
  const long ticks0 = bench::cpuTicks(pid);
  const long long sched0 = bench::schedNanos(pid);
  const auto idleStart = Clock::now();
  for (int s = 1; bench::secondsBetween(idleStart, Clock::now()) < idleSeconds; ++s) {
    const double at = std::min<double>(s, idleSeconds);
    std::this_thread::sleep_until(
        idleStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at)));
    idleRss = std::max(idleRss, bench::rssKiB(pid));
  }
  const long idleTicks = bench::cpuTicks(pid) - ticks0;
  const double idleSchedMs = double(bench::schedNanos(pid) - sched0) / 1e6;

  std::printf("idle daemon over %.0f s, before any client\n", idleSeconds);
  std::printf("  resident memory, highest  %6ld KiB (%.1f MiB; floor < 8 MiB)\n", idleRss,
              idleRss / 1024.0);
  std::printf(
      "  CPU                       %6ld ticks of 1/%ld s (floor: not one); %.3f ms by "
      "the scheduler's count of live threads\n",
      idleTicks, tick, idleSchedMs);

  // ---- Round trip against the raw ping-pong ----
  constexpr int kRounds = 20;
  RawEcho echo;
  zelvo::HelperClient client(daemon.socketPath());
  // The same request with no client library: the daemon's share of the cost.
  const int bare = bench::connectUnix(daemon.socketPath());
  if (bare < 0) bench::die("cannot connect");
  uint64_t bareSeq = 0;
  bool failed = false;
  auto samples =
      measureInterleaved(iterations, kRounds,
                         {[&] { echo.roundTrip(); }, [&] { failed |= !client.getVersion().ok(); },
                          [&] { failed |= !client.getKernelVersion().ok(); },
                          [&] { failed |= !oneRequest(bare, ++bareSeq); },
                          [&] { failed |= !client.getProxyStatus().ok(); }});
  ::close(bare);
  if (failed) bench::die("a call failed");
  const Stats raw = statsOf(flatten(samples[0])), version = statsOf(flatten(samples[1])),
              kernelVersion = statsOf(flatten(samples[2])),
              bareVersion = statsOf(flatten(samples[3])),
              queuedStatus = statsOf(flatten(samples[4]));
  const double ratio = medianRatio(samples[1], samples[0]);
  const double kernelVersionRatio = medianRatio(samples[2], samples[0]);
  const double bareRatio = medianRatio(samples[3], samples[0]);
  const double queuedRatio = medianRatio(samples[4], samples[0]);
  std::printf(
      "round trip, %d iterations each in %d alternating rounds; ratio: median over rounds of "
      "the rounds' p50s\n",
      iterations, kRounds);
  std::printf("  raw framed ping-pong (baseline)    p50 %7.1f us  p99 %7.1f us\n", raw.p50,
              raw.p99);
  std::printf(
      "  getVersion via HelperClient        p50 %7.1f us  p99 %7.1f us  %.2fx (floor <= 2x)\n",
      version.p50, version.p99, ratio);
  std::printf("  getKernelVersion via HelperClient  p50 %7.1f us  p99 %7.1f us  %.2fx\n",
              kernelVersion.p50, kernelVersion.p99, kernelVersionRatio);
  std::printf("  getVersion, hand-framed request    p50 %7.1f us  p99 %7.1f us  %.2fx\n",
              bareVersion.p50, bareVersion.p99, bareRatio);
  std::printf("  getProxyStatus, via the queue      p50 %7.1f us  p99 %7.1f us  %.2fx\n",
              queuedStatus.p50, queuedStatus.p99, queuedRatio);

  // ---- Idle connections ----
  // Alone and among the idle connections in alternation, the connections
  // opened anew each time.
  constexpr int kCycles = 3;
  const int perRound = std::max(300, iterations / 10);
  Rounds alone, among;
  std::vector<double> perConn;  // KiB, each time
  long firstBefore = 0, firstWith = 0, rssClosed = 0;
  double openSeconds = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    alone.push_back(timeCalls(client, perRound, &failed));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long rssBefore = bench::rssKiB(pid);
    std::vector<int> idle;
    idle.reserve(size_t(connections));
    const auto openStart = Clock::now();
    for (int i = 0; i < connections; ++i) {
      const int fd = bench::connectUnix(daemon.socketPath());
      if (fd < 0 || !oneRequest(fd, uint64_t(i) + 1)) {
        bench::die("idle connection " + std::to_string(i) + " failed: " + std::strerror(errno));
      }
      idle.push_back(fd);
    }
    openSeconds = bench::secondsBetween(openStart, Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    among.push_back(timeCalls(client, perRound, &failed));
    const long rssWith = bench::rssKiB(pid);
    perConn.push_back(double(rssWith - rssBefore) / connections);
    if (cycle == 0) {
      firstBefore = rssBefore;
      firstWith = rssWith;
    }
    for (int fd : idle) ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    rssClosed = bench::rssKiB(pid);
  }
  alone.push_back(timeCalls(client, perRound, &failed));
  if (failed) bench::die("a call failed");
  // Each "among" round against the mean of the "alone" rounds on either side.
  std::vector<double> slowdowns;
  for (int c = 0; c < kCycles; ++c) {
    const double before = statsOf(alone[size_t(c)]).p50, after = statsOf(alone[size_t(c) + 1]).p50;
    slowdowns.push_back(statsOf(among[size_t(c)]).p50 / ((before + after) / 2));
  }
  const double slowdown = bench::median(slowdowns);
  // The first time counts: later ones reuse memory the daemon kept from it.
  const double perConnKiB = perConn.front();
  const Stats aloneStats = statsOf(flatten(alone)), amongStats = statsOf(flatten(among));
  std::printf("%d idle connections, %d times opened (in %.2f s the last time) and closed\n",
              connections, kCycles, openSeconds);
  std::printf(
      "  daemon resident memory     %ld KiB before them the first time, %ld KiB with them; "
      "%ld KiB after the last close\n",
      firstBefore, firstWith, rssClosed);
  std::printf("  per connection             %.1f KiB the first time (floor < 64 KiB); then",
              perConnKiB);
  for (size_t c = 1; c < perConn.size(); ++c) std::printf(" %.1f", perConn[c]);
  std::printf(" KiB, reusing what the first left\n");
  std::printf(
      "  active client's getVersion p50 %.1f us alone, %.1f us among them; p99 %.1f / "
      "%.1f us\n",
      aloneStats.p50, amongStats.p50, aloneStats.p99, amongStats.p99);
  std::printf("  slowdown                   %.2fx, median of the %d times (floor < 2x)\n", slowdown,
              kCycles);

  result("idle_rss", idleRss / 1024.0, "MiB", Floor::Below, 8);
  result("idle_cpu_ticks", double(idleTicks), "ticks", Floor::Below, 1);
  result("idle_cpu_sched", idleSchedMs, "ms");
  result("raw_pingpong_p50", raw.p50, "us");
  result("ipc_getVersion_p50", version.p50, "us");
  result("ipc_rtt_ratio", ratio, "x", Floor::AtMost, 2);
  result("ipc_getKernelVersion_ratio", kernelVersionRatio, "x");
  result("ipc_hand_framed_ratio", bareRatio, "x");
  result("ipc_queued_status_ratio", queuedRatio, "x");
  result("idle_conn_memory", perConnKiB, "KiB/conn", Floor::Below, 64);
  result("idle_conn_rtt_ratio", slowdown, "x", Floor::Below, 2);
  return 0;
}

int main(int argc, char** argv) {
  return bench::run("bench_ipc", [&] { return measure(argc, argv); });
}
