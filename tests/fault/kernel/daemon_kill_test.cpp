// Daemon kills: the daemon is SIGKILLed while its kernel carries a transfer,
// and sometimes in the middle of a start or a stop, and started again each
// time. A kernel that survived is re-adopted (the same process, never driven
// again, the transfer unbroken); when none survived, the new daemon clears
// the system proxy that pointed at it. Either way the state is one the
// client can work with, and a final stop leaves nothing behind.
#include <future>

#include "fault/fault_support.h"

namespace zelvo::testing::fault {
namespace {

class DaemonKillTest : public FaultTest {
 protected:
  // The request a kill interrupts.
  enum class During { Start, Stop };

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(startFaultDaemon());
    port_ = freePort();
  }

  // A fresh kernel (replacing any), the system proxy pointed at it, and a
  // transfer through it.
  void bringUp() {
    stream_.reset();
    startKernel(config(port_));
    auto set = client_->setSystemProxy("127.0.0.1", port_, port_);
    ASSERT_TRUE(set.ok() && *set);
    kernel_ = onlyKernelPid(root_);
    ASSERT_GT(kernel_, 0);
    const int tunnel = socks5Connect(port_, echo_.port());
    ASSERT_GE(tunnel, 0);
    stream_ = std::make_unique<EchoStream>(tunnel);
    ASSERT_TRUE(stream_->advances(5, 10.0)) << stream_->failure();
  }

  void killDaemon() {
    daemon_->kill9();
    ++daemonKills_;
  }

  void startDaemonAgain() {
    daemon_->start();
    ASSERT_TRUE(waitUntilSettled(*daemon_));
  }

  // The kernel ran on untouched: the new daemon adopts it and the transfer
  // never breaks.
  void killWhileRunning() {
    const size_t drives = kernelReceived(root_, "initCore");
    ASSERT_TRUE(stream_->advances(5, 10.0)) << stream_->failure();
    killDaemon();
    // With no daemon at all, the kernel carries the transfer.
    ASSERT_TRUE(stream_->advances(10, 10.0)) << stream_->failure();
    ASSERT_NO_FATAL_FAILURE(startDaemonAgain());
    ASSERT_TRUE(daemon_->waitForLog(kAdopted, std::chrono::seconds(10)));
    EXPECT_EQ(daemon_->countLog(kLaunched), 0u);
    EXPECT_EQ(onlyKernelPid(root_), kernel_);
    EXPECT_TRUE(stream_->advances(10, 10.0)) << stream_->failure();
    EXPECT_EQ(kernelReceived(root_, "initCore"), drives) << "the adopted kernel was driven again";
    auto s = status();
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->isRunning);
    EXPECT_GT(s->uplink, 0);
    // Every adopting daemon holds what the first one held.
    if (adoptedFds_ < 0) adoptedFds_ = settledFdCount();
    ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::on(port_, port_), adoptedFds_));
  }

  // Kills the daemon once a start or stop has reached `line` (plus `delay`),
  // or, with no line, as soon as the request is sent; then starts it again
  // and judges what it found.
  void killDuring(During what, std::string_view line, double delay) {
    const size_t before = line.empty() ? 0 : daemon_->countLog(line);
    auto reply = std::make_shared<std::promise<bool>>();
    auto done = [reply](auto) { reply->set_value(true); };
    if (what == During::Start) {
      client_->startProxy(config(port_), done);
    } else {
      client_->stopProxy(done);
    }
    if (!line.empty()) {
      ASSERT_TRUE(whenLogged(*daemon_, line, before + 1, 15.0)) << line;
    }
    if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    killDaemon();
    // The client's request ends with the connection, one way or another.
    ASSERT_EQ(reply->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    stream_.reset();  // its kernel may have been stopped or replaced

    ASSERT_NO_FATAL_FAILURE(startDaemonAgain());
    const auto kernels = kernelPids(root_);
    ASSERT_LE(kernels.size(), 1u) << "two kernels after a daemon killed during a start or stop";
    auto s = status();
    ASSERT_TRUE(s.has_value());
    if (kernels.size() == 1) {
      // A survivor, old or new, is adopted and the proxy left pointing at it.
      ++outcomes_.adopted;
      EXPECT_TRUE(daemon_->waitForLog(kAdopted, std::chrono::seconds(10)));
      EXPECT_TRUE(s->isRunning);
      if (adoptedFds_ >= 0) {
        ASSERT_NO_FATAL_FAILURE(
            expectNothingLeftBehind(ProxyPicture::on(port_, port_), adoptedFds_));
      } else {
        ASSERT_NO_FATAL_FAILURE(
            expectNothingLeftBehind(ProxyPicture::on(port_, port_), settledFdCount()));
      }
    } else {
      // Nothing to adopt: the proxy that pointed at the dead kernel is cleared.
      ++outcomes_.cleared;
      EXPECT_EQ(daemon_->countLog("启动对账：清理遗留的本机系统代理（上次崩溃残留），恢复直连"),
                1u);
      EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
      ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
    }
    ASSERT_NO_FATAL_FAILURE(bringUp());
  }

  EchoServer echo_;
  uint16_t port_ = 0;
  pid_t kernel_ = 0;
  std::unique_ptr<EchoStream> stream_;
  int adoptedFds_ = -1;
  int daemonKills_ = 0;
  struct {
    int adopted = 0, cleared = 0;
  } outcomes_;
};

TEST_F(DaemonKillTest, KilledDaemonAdoptsTheSurvivingKernelOrCleansUp) {
  ASSERT_NO_FATAL_FAILURE(bringUp());
  // R: while the kernel runs; S: during a start; T: during a stop. A stop
  // right after S meets a kernel this daemon launched, after R an adopted one.
  constexpr std::string_view plan = "RRSTRRSRTRSTRRSRTRSTRR";
  static_assert(plan.size() == kDaemonKills);
  int starts = 0, stops = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    SCOPED_TRACE("kill " + std::to_string(i) + " (" + plan[i] + ")");
    switch (plan[i]) {
      case 'R':
        ASSERT_NO_FATAL_FAILURE(killWhileRunning());
        break;
      case 'S': {
        // With the request in flight (the old kernel untouched), within the
        // sweep of the old kernel (none left), and right after the new
        // kernel's launch.
        const int point = starts++ % 3;
        const std::string_view line = point == 0   ? ""
                                      : point == 1 ? "Config held in memory"
                                                   : kLaunched;
        ASSERT_NO_FATAL_FAILURE(killDuring(During::Start, line, point == 1 ? 0.2 : 0));
        break;
      }
      case 'T': {
        // With the request in flight (the kernel untouched), as the stop
        // begins, and once it has signalled the kernel. A launched kernel is
        // stopped politely; an adopted one only swept.
        const int point = stops++ % 3;
        const bool tracked = plan[i - 1] == 'S';
        const std::string_view line = point == 0 ? ""
                                      : tracked  ? "Stopping kernel..."
                                                 : "no tracked kernel; will still kill any orphan";
        ASSERT_NO_FATAL_FAILURE(killDuring(During::Stop, line, point == 2 ? 0.3 : 0));
        break;
      }
    }
  }

  // A clean stop at the end leaves no kernel, no zombie and nothing else.
  stream_.reset();
  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok() && *stopped);
  auto cleared = client_->clearSystemProxy();
  ASSERT_TRUE(cleared.ok() && *cleared);
  EXPECT_TRUE(eventually([&] { return kernelPids(root_).empty(); }, 5.0));
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
  ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
  std::cout << "[ fault ] daemon kills: " << daemonKills_
            << " (during a start or stop: " << starts + stops << ", of which " << outcomes_.adopted
            << " left a kernel to adopt and " << outcomes_.cleared << " none)\n";
  EXPECT_GE(daemonKills_, kDaemonKills);
}

}  // namespace
}  // namespace zelvo::testing::fault
