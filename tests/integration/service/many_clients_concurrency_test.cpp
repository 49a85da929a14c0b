// Many clients mixing every kind of request against one daemon while the
// kernel comes and goes underneath (ZELVO_STRESS_SECONDS, default 10): every
// call is answered, the daemon neither crashes nor reports a race, and
// afterwards it holds the descriptors it held before and no zombie.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <random>

#include "support/scenario.h"

namespace zelvo::testing {
namespace {

using ManyClients = Scenario;

TEST_F(ManyClients, SixteenClientsMixRequestsWhileTheKernelComesAndGoes) {
  const char* env = std::getenv("ZELVO_STRESS_SECONDS");
  const double seconds = env ? std::atof(env) : 10.0;
  startDaemon();
  ASSERT_TRUE(client().getVersion().ok());
  const int fdsBefore = openFds(daemonPid());
  const uint16_t port = freePort();
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  std::atomic<int> calls{0}, failures{0}, wrongAnswers{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      HelperClient c(socketPath());
      c.setTimeout(std::chrono::seconds(60));
      std::mt19937 rng(t);
      while (Clock::now() < deadline) {
        bool ok = true;
        const int d = int(rng() % 40);
        switch (d < 3 ? d : d < 6 ? 3 : d < 9 ? 4 : d < 13 ? 5 : d < 17 ? 6 : d < 21 ? 7 : 8) {
          case 0:
            ok = c.startProxy(yamlConfig(port)).ok();
            break;
          case 1:
            ok = c.stopProxy().ok();
            break;
          case 2:
            ok = c.reloadProxy(yamlConfig(port)).ok();
            break;
          case 3:
            ok = c.selectOutbound("Proxy", rng() % 2 ? "node-a" : "node-b").ok();
            break;
          case 4:
            ok = c.setRouteMode(rng() % 2 ? "rule" : "global").ok();
            break;
          case 5:
            ok = c.getTrafficStats().ok();
            break;
          case 6:
            ok = c.kernelQuery("getProxies", "").ok();
            break;
          case 7: {
            const auto s = c.getProxyStatus();
            ok = s.ok();
            // A running record always carries the kernel's ports.
            if (ok && s->has_value() && (*s)->isRunning && (*s)->httpPort != port) ++wrongAnswers;
            break;
          }
          default: {
            const auto v = c.getVersion();
            ok = v.ok();
            if (ok && *v != "1.0.5 (zelvan-core)") ++wrongAnswers;
          }
        }
        ++calls;
        if (!ok) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  std::cout << calls << " calls in " << seconds << " s\n";
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(wrongAnswers, 0);
  EXPECT_GT(calls, 200);

  // Settled: at most one kernel, and the status agrees with it.
  ASSERT_TRUE(client().getVersion().ok());
  ASSERT_TRUE(eventually(
      [&] {
        const auto s = client().getProxyStatus();
        return kernelPids().size() <= 1 && s.ok() && s->has_value() &&
               (*s)->isRunning == (kernelPid() > 0);
      },
      15));
  ASSERT_TRUE(*client().stopProxy());
  EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 10));
  EXPECT_TRUE(eventually([&] { return openFds(daemonPid()) <= fdsBefore; }, 10))
      << openFds(daemonPid()) << " descriptors, " << fdsBefore << " before";
  for (const pid_t pid : allPids()) {
    EXPECT_FALSE(processState(pid) == 'Z' && parentOf(pid) == daemonPid()) << "zombie " << pid;
  }
}

}  // namespace
}  // namespace zelvo::testing
