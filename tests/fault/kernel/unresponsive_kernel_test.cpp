// Kernels that do not keep their side of the control channel: one that never
// answers, one that never connects, one that ignores SIGTERM as well, and one
// that never reconnects to a restarted daemon. Every request still comes back
// within its own time-out, start and stop complete within their bounds, and
// nothing is left behind.
#include "fault/fault_support.h"

namespace zelvo::testing::fault {
namespace {

class UnresponsiveKernelTest : public FaultTest {
 protected:
  // Starts a kernel and returns how long the start took; it must succeed.
  double timedStart(uint16_t port) {
    const auto t0 = Clock::now();
    auto started = client_->startProxy(config(port));
    const double took = secondsSince(t0);
    EXPECT_TRUE(started.ok() && started->success)
        << (started.ok() ? started->message.value_or("") : started.error->localizedDescription());
    return took;
  }

  double timedStop() {
    const auto t0 = Clock::now();
    auto stopped = client_->stopProxy();
    const double took = secondsSince(t0);
    EXPECT_TRUE(stopped.ok() && *stopped);
    return took;
  }

  // A status request, with how long it took.
  std::pair<std::optional<ProxyStatus>, double> timedStatus() {
    const auto t0 = Clock::now();
    auto s = status();
    return {s, secondsSince(t0)};
  }

  double timedQuery(const std::string& method, std::optional<std::string>* answer) {
    const auto t0 = Clock::now();
    auto r = client_->kernelQuery(method, "");
    const double took = secondsSince(t0);
    EXPECT_TRUE(r.ok());
    if (r.ok()) *answer = *r.value;
    return took;
  }
};

// The kernel takes every request and answers none. The start does not wait
// for the drive; status waits for the traffic counters at most their 2 s; a
// query at most its 5 s; the stop's shutdown notice needs no answer.
TEST_F(UnresponsiveKernelTest, SilentKernelIsStartedQueriedAndStoppedWithinBounds) {
  startFaultDaemon({{"ZELVAN_SILENT", "1"}});
  const uint16_t port = freePort();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const double start = timedStart(port);
    // The 1.0 s running check, after the stale-kernel sweep and its 0.4 s.
    EXPECT_GE(start, 1.0);
    EXPECT_LE(start, 4.0);
    EXPECT_EQ(kernelPids(root_).size(), 1u);

    const auto [s, statusTook] = timedStatus();
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->isRunning);
    EXPECT_EQ(s->uplink, 0);
    EXPECT_EQ(s->downlink, 0);
    EXPECT_GE(statusTook, 1.9);
    EXPECT_LE(statusTook, 3.5);
    if (round == 0) {
      std::optional<std::string> answer;
      const double took = timedQuery("getMemory", &answer);
      EXPECT_FALSE(answer.has_value());
      EXPECT_GE(took, 4.9);
      EXPECT_LE(took, 6.5);
    }
    // Meanwhile the daemon answers everything that does not need the kernel.
    const auto t0 = Clock::now();
    EXPECT_TRUE(client_->getVersion().ok());
    EXPECT_LT(secondsSince(t0), 1.0);

    const double stop = timedStop();
    EXPECT_LE(stop, 3.0);
    EXPECT_TRUE(kernelPids(root_).empty());
    // Closing the channel released the drive that still waited for answers.
    EXPECT_TRUE(whenLogged(*daemon_, kDriven, size_t(round) + 1, 3.0));
    ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
    std::cout << "[ fault ] silent kernel: start " << start << " s, status " << statusTook
              << " s, stop " << stop << " s\n";
  }
  EXPECT_EQ(daemon_->countLog(kDriven), 3u);
}

// The kernel runs but never connects: nothing can be asked of it, so every
// request that needs it returns at once, and the drive's accept, which
// waits without a time-out, is ended by the stop.
TEST_F(UnresponsiveKernelTest, NeverConnectingKernelIsStartedAndStoppedWithinBounds) {
  startFaultDaemon({{"ZELVAN_NO_CONNECT", "1"}});
  const uint16_t port = freePort();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const double start = timedStart(port);
    EXPECT_GE(start, 1.0);
    EXPECT_LE(start, 4.0);
    EXPECT_EQ(kernelPids(root_).size(), 1u);

    const auto [s, statusTook] = timedStatus();
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->isRunning);
    EXPECT_EQ(s->uplink, 0);
    EXPECT_LE(statusTook, 1.0);
    std::optional<std::string> answer;
    EXPECT_LE(timedQuery("getProxies", &answer), 1.0);
    EXPECT_FALSE(answer.has_value());

    const double stop = timedStop();
    EXPECT_LE(stop, 3.0);
    EXPECT_TRUE(kernelPids(root_).empty());
    EXPECT_TRUE(whenLogged(*daemon_, "accept failed", size_t(round) + 1, 3.0));
    ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
    std::cout << "[ fault ] never-connecting kernel: start " << start << " s, stop " << stop
              << " s\n";
  }
  EXPECT_EQ(daemon_->countLog(kDriven), 0u);
}

// Neither connected nor willing to end on SIGTERM: the stop escalates to
// SIGKILL after its 5 s and still leaves nothing behind.
TEST_F(UnresponsiveKernelTest, KernelIgnoringSigtermIsKilledAfterFiveSeconds) {
  startFaultDaemon({{"ZELVAN_NO_CONNECT", "1"}, {"ZELVAN_IGNORE_SIGTERM", "1"}});
  timedStart(freePort());
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  const double stop = timedStop();
  EXPECT_GE(stop, 5.0);
  EXPECT_LE(stop, 7.5);
  EXPECT_EQ(daemon_->countLog("Force killing kernel..."), 1u);
  EXPECT_FALSE(processAlive(kernel));
  EXPECT_TRUE(kernelPids(root_).empty());
  ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
  std::cout << "[ fault ] kernel ignoring SIGTERM: stop " << stop << " s\n";
}

// The daemon dies while its kernel runs, and the kernel never reconnects to
// the new one. The adoption waits (and counts as running) while the kernel
// keeps serving; the stop ends the wait, kills the kernel and leaves nothing.
TEST_F(UnresponsiveKernelTest, KernelThatNeverReconnectsIsStoppedAfterADaemonKill) {
  const Env env{{"ZELVAN_NO_RECONNECT", "1"}};
  startFaultDaemon(env);
  const uint16_t port = freePort();
  startKernel(config(port));
  auto set = client_->setSystemProxy("127.0.0.1", port, port);
  ASSERT_TRUE(set.ok() && *set);
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  EchoServer echo;
  const int tunnel = socks5Connect(port, echo.port());
  ASSERT_GE(tunnel, 0);
  EchoStream stream(tunnel);
  ASSERT_TRUE(stream.advances(5, 10.0)) << stream.failure();

  ASSERT_NO_FATAL_FAILURE(restartDaemonWith(env));
  std::cout << "[ fault ] daemon kills: 1\n";
  ASSERT_TRUE(daemon_->waitForLog(kAdoptWaiting, std::chrono::seconds(10)));
  ASSERT_TRUE(stream.advances(10, 10.0)) << stream.failure();
  EXPECT_EQ(daemon_->countLog(kAdopted), 0u);
  const auto [s, statusTook] = timedStatus();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  EXPECT_LE(statusTook, 1.0);

  const double stop = timedStop();
  EXPECT_LE(stop, 3.0);
  EXPECT_TRUE(whenLogged(*daemon_, "re-adopt: accept 失败", 1, 3.0));
  EXPECT_FALSE(processAlive(kernel));
  auto after = status();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(*after, ProxyStatus::stoppedRecord());
  // The client still holds the proxy setting: stopping does not clear it.
  ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::on(port, port)));
}

}  // namespace
}  // namespace zelvo::testing::fault
