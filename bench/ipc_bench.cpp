// The daemon as its clients see it, against baselines measured in the same run:
//
//   idle     the daemon's resident memory (highest of one sample a second)
//            and CPU time over an idle spell before any client connects
//            (BENCH_IDLE_SECONDS, default 60); floors: under 4 MiB, no CPU
//            tick at all
//   latency  getVersion, getKernelVersion and getProxyStatus with no kernel
//            (answered on the daemon's I/O thread) and kernelQuery
//            "__pushedDelays" with no kernel (a request handed to the
//            connection's queue, answered there at once), through
//            HelperClient, against the
//            raw round trip between two processes over a Unix socket with the
//            same framing and the request's own bytes (bench::RawChain),
//            waited for blocking and spin-then-block, in interleaved rounds.
//            The client library watches for its reply before it sleeps, so
//            its ratios are taken against the spin-then-block baseline (the
//            blocking one is shown too); the ratio is the median over rounds
//            of the round's medians; floors: 1.3x. Also getVersion over a
//            bare socket, waited for the same way: the daemon's share
//            without the client library's (no floor). Each row also shows
//            the CPU time the far side (the daemon and its kernel, or the
//            baseline's peers) spent per call: where that, not the wait for
//            a wake-up, makes up most of a round trip, it is what limits the
//            ratio (no floor)
//   status   getProxyStatus with a running kernel (client, daemon, kernel and
//            back) against the raw round trip through two other processes,
//            spin-then-block as the client waits; floor: 1.3x
//   idle connections
//            1,000 further connections, each having made one request and
//            then idle: the daemon's resident memory per connection (floor:
//            under 64 KiB) and an active client's round trip among them
//            against its own round trip without them just before they open
//            and just after they close (floor: under 2x, the median of three
//            times); the memory is the first time's, before the daemon has
//            freed any connection's memory for reuse
//   large configuration
//            a 7 MB configuration started and then reloaded: the daemon's
//            resident memory afterwards, the text it keeps included (no
//            floor)
//
//   bench_ipc [--iterations N] [--idle-seconds S] [--connections N]
//   BENCH_AGAINST=PATH bench_ipc   also the latency calls against a daemon
//                                  built elsewhere (PATH: its zelvo-helper),
//                                  with that build's reference kernel, in
//                                  the same rounds (no floor)
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

Stats statsOf(const std::vector<double>& us) {
  return {bench::percentile(us, 0.5), bench::percentile(us, 0.99)};
}

Stats statsOf(const bench::Rounds& rounds) {
  return statsOf(bench::flatten(rounds));
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

namespace {

// Starts a kernel through `client` and waits until `daemon` has driven it.
void startKernel(zelvo::HelperClient& client, bench::Daemon& daemon) {
  const size_t from = daemon.logEnd();
  auto started =
      client.startProxy("mixed-port: " + std::to_string(zelvo::testing::freePort()) +
                        "\nmode: rule\nproxies:\n  - {name: a, type: ss}\nproxy-groups:\n"
                        "  - {name: Proxy, type: select, proxies: [a]}\n");
  if (!started.ok() || !started->success) bench::die("the kernel did not start");
  if (!daemon.waitForLine("驱动序列完成", 1, 20.0, from))
    bench::die("the drive sequence did not end");
}

// One of the latency calls, by number: getVersion, getKernelVersion,
// getProxyStatus, and a request served on the connection's queue.
bool latencyCall(zelvo::HelperClient& c, int which) {
  switch (which) {
    case 0:
      return c.getVersion().ok();
    case 1:
      return c.getKernelVersion().ok();
    case 2:
      return c.getProxyStatus().ok();
    default:
      return c.kernelQuery("__pushedDelays", "").ok();
  }
}

// BENCH_AGAINST=<another build's zelvo-helper>: the same calls to a daemon of
// that build, in the same rounds as to this one, so that two builds are
// compared under the same load and placement (on a shared machine the
// baselines alone move by a factor of two from one run to the next).
void compareWith(const bench::Placement& where, int iterations, int rounds,
                 zelvo::HelperClient& client, bench::Daemon& daemon) {
  const char* other = std::getenv("BENCH_AGAINST");
  if (!other || !*other) return;
  // That build's kernel, where its tree has one, so that a change to either
  // shows.
  const auto otherKernel =
      std::filesystem::path(other).parent_path().parent_path() / "tools/zelvan-core/zelvan-core";
  bench::Daemon otherDaemon = bench::startServed(where, [&] {
    return bench::Daemon(
        other, std::filesystem::exists(otherKernel) ? otherKernel.string() : ZELVAN_CORE_BIN);
  });
  zelvo::HelperClient otherClient(otherDaemon.socketPath());
  bool failed = false;
  auto call = [&failed](zelvo::HelperClient& c, int which) -> std::function<void()> {
    return [&failed, &c, which] { failed |= !latencyCall(c, which); };
  };
  auto both = [&](int which) { return std::vector{call(client, which), call(otherClient, which)}; };
  std::vector<std::function<void()>> cases;
  for (int which = 0; which < 4; ++which) {
    for (auto& c : both(which)) cases.push_back(c);
  }
  auto samples = bench::measureInterleaved(iterations, rounds, cases);
  startKernel(client, daemon);
  startKernel(otherClient, otherDaemon);
  for (auto& s : bench::measureInterleaved(iterations / 2, rounds, both(2))) {
    samples.push_back(std::move(s));
  }
  failed |= !client.stopProxy().ok() || !otherClient.stopProxy().ok();
  if (failed) bench::die("a call failed");
  std::printf("this build against %s, same rounds\n", other);
  const char* names[] = {"getVersion", "getKernelVersion", "getProxyStatus (no kernel)",
                         "kernelQuery (queued)", "getProxyStatus (kernel)"};
  for (size_t i = 0; i < 5; ++i) {
    const auto& mine = samples[2 * i];
    const auto& theirs = samples[2 * i + 1];
    std::printf("  %-24s p50 %7.1f us against %7.1f us: %.2fx\n", names[i], statsOf(mine).p50,
                statsOf(theirs).p50, bench::medianRatio(mine, theirs));
  }
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

  const bench::Placement where;
  bench::Daemon daemon = bench::startServed(where, [] { return bench::Daemon(); });
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
  std::printf("  resident memory, highest  %6ld KiB (%.1f MiB; floor < 4 MiB)\n", idleRss,
              idleRss / 1024.0);
  std::printf(
      "  CPU                       %6ld ticks of 1/%ld s (floor: not one); %.3f ms by "
      "the scheduler's count of live threads\n",
      idleTicks, tick, idleSchedMs);

  // ---- Round trip against the raw baselines ----
  constexpr int kRounds = 20;
  using bench::Wait;
  // The baselines carry the request's own bytes (as the client library sends
  // it, so the bare call below sends it too). They fork before the client
  // library starts its threads.
  const auto request = zelvo::platform::encodeFrame({{"seq", 1},
                                                     {"sel", zelvo::HelperProtocol::getVersion},
                                                     {"args", zelvo::platform::IpcValue::array()}});
  bench::RawChain oneHop = bench::startServed(
      where, [&] { return bench::RawChain(1, std::string(request.begin() + 4, request.end())); });
  zelvo::HelperClient client(daemon.socketPath());
  bool failed = false;
  // getVersion over a bare socket, waited for as the client library waits:
  // the daemon's share of the round trip, without the library's.
  const int bare = bench::connectUnix(daemon.socketPath());
  if (bare < 0) bench::die("cannot connect to the daemon");
  std::vector<char> bareReply(4096);
  auto bareCall = [&] {
    if (!bench::raw::writeExact(bare, reinterpret_cast<const char*>(request.data()),
                                request.size()) ||
        !bench::raw::readFrame(bare, bareReply.data(), bareReply.size(), Wait::Spin)) {
      bench::die("the bare getVersion failed");
    }
  };
  bench::FarSide far{{oneHop.pid(), oneHop.pid(), pid, pid, pid, pid, pid}, {}};
  auto samples = bench::measureInterleaved(
      iterations, kRounds,
      {[&] { oneHop.roundTrip(Wait::Block); }, [&] { oneHop.roundTrip(Wait::Spin); },
       [&] { failed |= !latencyCall(client, 0); }, [&] { failed |= !latencyCall(client, 1); },
       [&] { failed |= !latencyCall(client, 2); }, [&] { failed |= !latencyCall(client, 3); },
       bareCall},
      &far);
  ::close(bare);
  if (failed) bench::die("a call failed");
  compareWith(where, iterations, kRounds, client, daemon);
  const auto& rawBlock = samples[0];
  const auto& rawSpin = samples[1];
  std::printf(
      "round trip, %d iterations each in %d interleaved rounds; ratio: median over rounds of "
      "the round's medians against the baseline named; %s\n",
      iterations, kRounds, where.describe().c_str());
  std::printf("  %-36s %-30s far side's CPU\n", "", "");
  auto row = [&](const char* what, size_t k, const bench::Rounds* base, const char* against) {
    const bench::Rounds& r = samples[k];
    const Stats st = statsOf(r);
    std::printf("  %-36s p50 %7.1f us  p99 %7.1f us  %5.1f us", what, st.p50, st.p99,
                far.cpuPerCall[k]);
    if (base) std::printf("  %.2fx %s", bench::medianRatio(r, *base), against);
    if (base == &rawSpin) std::printf(", %.2fx blocking", bench::medianRatio(r, rawBlock));
    std::printf("\n");
  };
  row("raw, blocking (baseline)", 0, nullptr, "");
  row("raw, spin-then-block (baseline)", 1, nullptr, "");
  row("getVersion via HelperClient", 2, &rawSpin, "spin-then-block");
  row("getKernelVersion via HelperClient", 3, &rawSpin, "spin-then-block");
  row("getProxyStatus, no kernel, via client", 4, &rawSpin, "spin-then-block");
  row("kernelQuery (queued) via client", 5, &rawSpin, "spin-then-block");
  row("getVersion over a bare socket", 6, &rawSpin, "spin-then-block");
  const double versionRatio = bench::medianRatio(samples[2], rawSpin);
  const double statusRatioNoKernel = bench::medianRatio(samples[4], rawSpin);
  const double queuedRatio = bench::medianRatio(samples[5], rawSpin);

  // ---- Idle connections ----
  // Alone and among the idle connections in alternation, the connections
  // opened anew each time.
  constexpr int kCycles = 3;
  const int perRound = std::max(300, iterations / 10);
  bench::Rounds alone, among;
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
    // Past the heap trim the daemon makes a second after closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
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
  // The first time counts: a later one may find memory the earlier ones left.
  const double perConnKiB = perConn.front();
  const Stats aloneStats = statsOf(alone), amongStats = statsOf(among);
  std::printf("%d idle connections, %d times opened (in %.2f s the last time) and closed\n",
              connections, kCycles, openSeconds);
  std::printf(
      "  daemon resident memory     %ld KiB before them the first time, %ld KiB with them; "
      "%ld KiB after the last close\n",
      firstBefore, firstWith, rssClosed);
  std::printf("  per connection             %.1f KiB the first time (floor < 64 KiB); then",
              perConnKiB);
  for (size_t c = 1; c < perConn.size(); ++c) std::printf(" %.1f", perConn[c]);
  std::printf(" KiB\n");
  std::printf(
      "  active client's getVersion p50 %.1f us alone, %.1f us among them; p99 %.1f / "
      "%.1f us\n",
      aloneStats.p50, amongStats.p50, aloneStats.p99, amongStats.p99);
  std::printf("  slowdown                   %.2fx, median of the %d times (floor < 2x)\n", slowdown,
              kCycles);

  // ---- The status path through a running kernel ----
  bench::RawChain twoHops = bench::startServed(
      where, [&] { return bench::RawChain(2, std::string(request.begin() + 4, request.end())); });
  startKernel(client, daemon);
  auto running = [&] {
    const auto st = client.getProxyStatus();
    failed |= !st.ok() || !st->has_value() || !(*st)->isRunning;
  };
  bench::FarSide statusFar{{twoHops.pid(), twoHops.pid(), pid}, {}};
  const auto status = bench::measureInterleaved(
      iterations / 2, kRounds,
      {[&] { twoHops.roundTrip(Wait::Block); }, [&] { twoHops.roundTrip(Wait::Spin); }, running},
      &statusFar);
  const std::vector<double>& statusCpu = statusFar.cpuPerCall;
  if (failed) bench::die("a status call failed or showed no kernel");
  const double statusRatio = bench::medianRatio(status[2], status[1]);
  std::printf("status through the kernel, %d iterations each in %d interleaved rounds\n",
              iterations / 2, kRounds);
  std::printf("  raw through two processes, blocking        p50 %7.1f us  far side's CPU %.1f us\n",
              statsOf(status[0]).p50, statusCpu[0]);
  // Each side's round medians, lowest and highest: on some virtual machines the
  // raw chain may move between two levels from round to round while the
  // daemon does not, and then that, not the daemon, moves the ratio.
  auto roundRange = [](const bench::Rounds& r) {
    std::vector<double> m;
    for (const auto& round : r) m.push_back(bench::percentile(round, 0.5));
    return std::pair(*std::min_element(m.begin(), m.end()), *std::max_element(m.begin(), m.end()));
  };
  const auto rawRange = roundRange(status[1]), statusRange = roundRange(status[2]);
  std::printf(
      "  raw through two processes, spin-then-block p50 %7.1f us  rounds %.1f-%.1f us  far side's "
      "CPU %.1f us\n",
      statsOf(status[1]).p50, rawRange.first, rawRange.second, statusCpu[1]);
  std::printf(
      "  getProxyStatus, kernel running             p50 %7.1f us  rounds %.1f-%.1f us  p99 %7.1f "
      "us  %.2fx spin-then-block (floor <= 1.3x), %.2fx blocking; far side's CPU %.1f us\n",
      statsOf(status[2]).p50, statusRange.first, statusRange.second, statsOf(status[2]).p99,
      statusRatio, bench::medianRatio(status[2], status[0]), statusCpu[2]);
  client.stopProxy();

  // ---- A large configuration ----
  // A subscription of 60,000 proxies (about 7 MB), started and then reloaded:
  // what the daemon keeps resident afterwards, the text it must hold included.
  std::string large =
      "mixed-port: " + std::to_string(zelvo::testing::freePort()) + "\nmode: rule\nproxies:\n";
  for (int i = 0; i < 60000; ++i) {
    large += "  - {name: \"node-" + std::to_string(i) + " 香港\", type: ss, server: 203.0.113." +
             std::to_string(i % 250) + ", port: " + std::to_string(1000 + i % 5000) +
             ", cipher: aes-128-gcm, password: \"pw-" + std::to_string(i) + "\"}\n";
  }
  large += "proxy-groups:\n  - {name: Proxy, type: select, proxies: [node-0]}\n";
  const size_t from = daemon.logEnd();
  const auto startedLarge = client.startProxy(large);
  if (!startedLarge.ok() || !startedLarge->success ||
      !daemon.waitForLine("驱动序列完成", 1, 60.0, from))
    bench::die("the large configuration did not start");
  const auto reloaded = client.reloadProxy(large);
  if (!reloaded.ok() || !reloaded->success) bench::die("the large configuration did not reload");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long largeRss = bench::rssKiB(pid);
  client.stopProxy();
  std::printf("a %.1f MB configuration, started and reloaded\n", double(large.size()) / 1e6);
  std::printf("  daemon resident memory     %ld KiB (%.1fx the configuration's size)\n", largeRss,
              double(largeRss) * 1024 / double(large.size()));

  result("idle_rss", idleRss / 1024.0, "MiB", Floor::Below, 4);
  result("idle_cpu_ticks", double(idleTicks), "ticks", Floor::Below, 1);
  result("idle_cpu_sched", idleSchedMs, "ms");
  result("ipc_raw_block_p50", statsOf(rawBlock).p50, "us");
  result("ipc_raw_spin_p50", statsOf(rawSpin).p50, "us");
  result("ipc_getVersion_p50", statsOf(samples[2]).p50, "us");
  result("ipc_getVersion_ratio_spin", versionRatio, "x", Floor::AtMost, 1.3);
  result("ipc_getKernelVersion_ratio_spin", bench::medianRatio(samples[3], rawSpin), "x");
  result("ipc_bare_getVersion_ratio_spin", bench::medianRatio(samples[6], rawSpin), "x");
  result("ipc_status_no_kernel_ratio_spin", statusRatioNoKernel, "x", Floor::AtMost, 1.3);
  result("ipc_queued_ratio_spin", queuedRatio, "x", Floor::AtMost, 1.3);
  result("status_kernel_ratio_spin2", statusRatio, "x", Floor::AtMost, 1.3);
  result("status_raw2_spin_p50", statsOf(status[1]).p50, "us");
  result("status_kernel_p50", statsOf(status[2]).p50, "us");
  result("ipc_raw_spin_far_cpu", far.cpuPerCall[1], "us");
  result("ipc_getVersion_far_cpu", far.cpuPerCall[2], "us");
  result("status_raw2_spin_far_cpu", statusCpu[1], "us");
  result("status_kernel_far_cpu", statusCpu[2], "us");
  result("idle_conn_memory", perConnKiB, "KiB/conn", Floor::Below, 64);
  result("idle_conn_rtt_ratio", slowdown, "x", Floor::Below, 2);
  result("large_config_rss", double(largeRss) / 1024, "MiB");
  return 0;
}

int main(int argc, char** argv) {
  return bench::run("bench_ipc", [&] { return measure(argc, argv); });
}
