// Sixteen clients mixing every proxy request against one daemon for a minute:
// no call may go unanswered past its bound, the daemon must not crash or
// report a race, and afterwards it must hold no more descriptors than before
// and leave no zombie behind.
#include <gtest/gtest-spi.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "support/supervision_support.h"

namespace zelvo::testing::supervision {
namespace {

constexpr double kRunSeconds = 60.0;
constexpr int kClients = 16;
// A lifecycle request waits for the ones before it (each stop or start holds
// the lifecycle for up to a second, and sanitizers slow everything); a
// selection may wait 13 s for the kernel by design.
constexpr double kLifecycleBound = 90.0;
constexpr double kRequestBound = 45.0;

enum Op { kStart, kStop, kReload, kSelect, kMode, kStatus, kTraffic, kQuery, kOpCount };
constexpr std::array<const char*, kOpCount> kOpNames = {"start", "stop",   "reload",  "select",
                                                        "mode",  "status", "traffic", "query"};
// Relative weights, per ten thousand: mostly steering and reading, with a
// start, stop or reload every two seconds or so across all clients, so that
// the kernel keeps coming and going underneath without being down most of
// the time (each lifecycle call holds the lifecycle for half a second or
// more, and a start's check a second later fails if a stop came between).
constexpr std::array<int, kOpCount> kWeights = {12, 6, 12, 1800, 1200, 2400, 1200, 3370};
// A client's pause between two calls, at most.
constexpr int kMaxThinkMs = 100;

struct OpStats {
  size_t calls = 0;
  size_t transportErrors = 0;
  size_t overBound = 0;
  double maxSeconds = 0;
  std::map<std::string, size_t> answers;
};

class StressConcurrencyTest : public SupervisionTest {
 protected:
  // The number of descriptors the idle daemon holds, once it has settled.
  int settledFdCount() {
    int last = -1;
    int stableFor = 0;
    eventually(
        [&] {
          const int now = daemon_->openFdCount();
          stableFor = now == last ? stableFor + 1 : 0;
          last = now;
          return stableFor >= 10;
        },
        30.0, 0.05);
    return last;
  }
};

TEST_F(StressConcurrencyTest, SixteenClientsMixingRequestsForAMinute) {
  startDaemon();
  ASSERT_TRUE(whenLogged(*daemon_, "启动对账：", 1, 20.0));
  const int fdsBefore = settledFdCount();
  ASSERT_GT(fdsBefore, 0);

  const uint16_t ports[2] = {freePort(), freePort()};
  std::vector<std::map<Op, OpStats>> perThread(kClients);
  std::atomic<bool> stopNow{false};
  const auto deadline = Clock::now() + std::chrono::duration<double>(kRunSeconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      auto client = root_.client();
      client->setTimeout(std::chrono::duration<double>(2 * kLifecycleBound));
      std::mt19937 rng(1000 + t);
      std::discrete_distribution<int> pick(kWeights.begin(), kWeights.end());
      auto& stats = perThread[t];
      while (!stopNow && Clock::now() < deadline) {
        const Op op = static_cast<Op>(pick(rng));
        const uint16_t port = ports[rng() % 2];
        std::string answer;
        bool transportOk = true;
        const auto began = Clock::now();
        switch (op) {
          case kStart: {
            auto r = client->startProxy(yamlConfig(port));
            transportOk = r.ok();
            if (r.ok()) answer = r->success ? "ok" : r->message.value_or("(none)");
            break;
          }
          case kStop: {
            auto r = client->stopProxy();
            transportOk = r.ok();
            if (r.ok()) answer = *r ? "ok" : "false";
            break;
          }
          case kReload: {
            auto r = client->reloadProxy(yamlConfig(port));
            transportOk = r.ok();
            if (r.ok()) answer = r->success ? "ok" : r->message.value_or("(none)");
            break;
          }
          case kSelect: {
            auto r = client->selectOutbound(rng() % 3 ? "Proxy" : "GLOBAL",
                                            rng() % 2 ? "node-a" : "node-b");
            transportOk = r.ok();
            if (r.ok()) answer = *r ? "true" : "false";
            break;
          }
          case kMode: {
            static const char* modes[] = {"rule", "global", "direct"};
            auto r = client->setRouteMode(modes[rng() % 3]);
            transportOk = r.ok();
            if (r.ok()) answer = *r ? "true" : "false";
            break;
          }
          case kStatus: {
            auto r = client->getProxyStatus();
            transportOk = r.ok() && r->has_value();
            if (transportOk) answer = (*r)->isRunning ? "running" : "stopped";
            break;
          }
          case kTraffic: {
            auto r = client->getTrafficStats();
            transportOk = r.ok();
            if (r.ok()) answer = r->totalUp > 0 || r->totalDown > 0 ? "counted" : "zeros";
            break;
          }
          case kQuery: {
            static const char* methods[] = {"getProxies", "getConfig", "__pushedDelays",
                                            "getConnections", "shutdown"};
            const char* method = methods[rng() % 5];
            auto r = client->kernelQuery(method, "");
            transportOk = r.ok();
            if (r.ok()) answer = std::string(method) + (r->has_value() ? ":answer" : ":nil");
            break;
          }
          case kOpCount:
            break;
        }
        const double seconds = secondsSince(began);
        OpStats& s = stats[op];
        ++s.calls;
        s.maxSeconds = std::max(s.maxSeconds, seconds);
        if (!transportOk) ++s.transportErrors;
        const bool lifecycle = op == kStart || op == kStop || op == kReload;
        if (seconds > (lifecycle ? kLifecycleBound : kRequestBound)) ++s.overBound;
        ++s.answers[transportOk ? answer : "(no reply)"];
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % (kMaxThinkMs + 1)));
      }
    });
  }
  // Now and then the kernel dies under everyone's feet: automatic restart and
  // replay run concurrently with the clients' own lifecycle calls.
  size_t kills = 0;
  std::thread chaos([&] {
    std::mt19937 rng(7);
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(7000 + rng() % 6000));
      if (Clock::now() >= deadline) break;
      for (const pid_t pid : kernelPids(root_)) kills += ::kill(pid, SIGKILL) == 0;
    }
  });
  for (auto& t : threads) t.join();
  chaos.join();

  std::map<Op, OpStats> total;
  for (const auto& thread : perThread) {
    for (const auto& [op, s] : thread) {
      OpStats& sum = total[op];
      sum.calls += s.calls;
      sum.transportErrors += s.transportErrors;
      sum.overBound += s.overBound;
      sum.maxSeconds = std::max(sum.maxSeconds, s.maxSeconds);
      for (const auto& [a, n] : s.answers) sum.answers[a] += n;
    }
  }
  std::ostringstream report;
  for (const auto& [op, s] : total) {
    report << kOpNames[op] << ": " << s.calls << " calls, max " << s.maxSeconds << " s";
    for (const auto& [a, n] : s.answers) report << ", " << a << " x" << n;
    report << "\n";
  }
  report << "kernels killed from outside: " << kills
         << ", automatic restarts: " << daemon_->countLog("自动重启内核")
         << ", replays: " << daemon_->countLog("自动重启：模式/节点已回放，连接恢复") << "\n";
  std::cout << report.str();
  for (int op = 0; op < kOpCount; ++op) {
    const OpStats& s = total[static_cast<Op>(op)];
    EXPECT_GT(s.calls, 0u) << kOpNames[op];
    EXPECT_EQ(s.transportErrors, 0u) << kOpNames[op] << "\n" << report.str();
    EXPECT_EQ(s.overBound, 0u) << kOpNames[op] << "\n" << report.str();
  }
  // The kernel really ran and was really steered during the run.
  EXPECT_GT(total[kStart].answers["ok"], 0u) << report.str();
  EXPECT_GT(total[kSelect].answers["true"], 0u) << report.str();
  EXPECT_GT(total[kQuery].answers["getProxies:answer"], 0u) << report.str();
  EXPECT_EQ(total[kQuery].answers["shutdown:answer"], 0u) << report.str();
  ASSERT_TRUE(daemon_->running()) << "the daemon died under load";

  // Quiescence: everything stopped, every client gone.
  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
  client_->disconnect();
  EXPECT_TRUE(eventually([&] { return kernelPids(root_).empty(); }, 10.0));
  int fdsAfter = -1;
  EXPECT_TRUE(eventually(
      [&] {
        fdsAfter = daemon_->openFdCount();
        return fdsAfter == fdsBefore;
      },
      30.0, 0.1))
      << "descriptors before the run: " << fdsBefore << ", after: " << fdsAfter;
  std::vector<pid_t> zombies;
  EXPECT_TRUE(eventually(
      [&] {
        zombies = zombieChildren(daemon_->pid());
        return zombies.empty();
      },
      10.0))
      << zombies.size() << " zombie children of the daemon";
  std::cout << "descriptors before " << fdsBefore << ", after " << fdsAfter << "; daemon RSS "
            << daemon_->rssKiB() << " KiB\n";
}

// The check every daemon test relies on: a sanitizer report in the daemon's
// output fails the test that ran it.
TEST_F(StressConcurrencyTest, SanitizerReportInDaemonOutputFailsTheTest) {
  ::testing::TestPartResultArray failures;
  bool outputCaptured = false;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    DaemonProcess daemon(root_);
    // The daemon's standard error, where a sanitizer writes its report.
    outputCaptured =
        readFile(daemon.logPath()).find("[Helper] Started and listening on") != std::string::npos;
    std::ofstream(daemon.logPath(), std::ios::app)
        << "==1234==WARNING: ThreadSanitizer: data race (pid=1234)\n";
  }
  EXPECT_TRUE(outputCaptured);
  ASSERT_EQ(failures.size(), 1);
  EXPECT_NE(std::string(failures.GetTestPartResult(0).message()).find("sanitizer finding"),
            std::string::npos);
}

}  // namespace
}  // namespace zelvo::testing::supervision
