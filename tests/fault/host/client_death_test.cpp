// Client deaths: a client application, in a process of its own, starts a
// kernel and points the system proxy at it, and is then SIGKILLed: after the
// setup, while its start is still in flight, or while its proxy change is.
// The watchdog (a tick every 4 s) must tear down every time, exactly once:
// the kernel stopped, the system proxy off on every enabled service, and
// nothing of the dead client kept by the daemon.
//
// Deaths follow one another rather than overlapping, because the watchdog
// watches only the client that connected last: a second client connecting
// before the first one's death is noticed would take the watch over.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include "fault/fault_support.h"

namespace zelvo::testing::fault {
namespace {

// A client application forked from the test. It connects with HelperClient,
// starts a kernel, points the system proxy at it and waits to be killed,
// reporting each step through a pipe as one letter: 'V' connected, 'S'
// started, 'P' proxy set (lower case when the step failed). It uses nothing
// of the test but its own new client, and it never returns into the test.
class ClientApp {
 public:
  ClientApp(const std::string& socketPath, const std::string& config, uint16_t port) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(p[0]);
      run(socketPath, config, port, p[1]);
    }
    ::close(p[1]);
    readFd_ = p[0];
  }
  ~ClientApp() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap();
    }
    if (readFd_ >= 0) ::close(readFd_);
  }
  ClientApp(const ClientApp&) = delete;
  ClientApp& operator=(const ClientApp&) = delete;

  pid_t pid() const { return pid_; }

  // The letters reported so far, once there are `n` of them or the time is up.
  std::string steps(size_t n, double timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (steps_.size() < n && Clock::now() < deadline) {
      pollfd p{readFd_, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) break;
      char c;
      if (::read(readFd_, &c, 1) != 1) break;
      steps_ += c;
    }
    return steps_;
  }

  void kill() const { ::kill(pid_, SIGKILL); }
  void reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  [[noreturn]] static void run(const std::string& socketPath, const std::string& config,
                               uint16_t port, int report) {
    const auto say = [report](bool ok, char letter) {
      const char c = ok ? letter : static_cast<char>(letter - 'A' + 'a');
      [[maybe_unused]] ssize_t n = ::write(report, &c, 1);
    };
    {
      HelperClient client(socketPath);
      client.setTimeout(std::chrono::seconds(30));
      say(client.getVersion().ok(), 'V');
      const auto started = client.startProxy(config);
      say(started.ok() && started->success, 'S');
      const auto set = client.setSystemProxy("127.0.0.1", port, port);
      say(set.ok() && *set, 'P');
      for (;;) ::pause();
    }
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string steps_;
};

class ClientDeathTest : public FaultTest {
 protected:
  // Where each client is killed: after its setup (then reaped at once, or
  // left a zombie until the teardown, as a crashed app whose parent has not
  // collected it), during its start, or during its proxy change.
  enum class Death { AfterSetupReaped, AfterSetupUnreaped, DuringStart, DuringProxySet };
};

TEST_F(ClientDeathTest, WatchdogTearsDownAfterEveryClientDeath) {
  ASSERT_NO_FATAL_FAILURE(startFaultDaemon());
  LogTail log(daemon_->logPath());
  const uint16_t port = freePort();
  int deaths = 0, timed = 0;
  double slowestNotice = 0, totalNotice = 0;
  const auto began = Clock::now();
  for (int round = 0; round < kClientDeaths; ++round) {
    const auto death = static_cast<Death>(round % 4);
    SCOPED_TRACE("death " + std::to_string(round) + " kind " + std::to_string(round % 4));
    log.poll();
    const size_t from = log.size();

    ClientApp app(root_.socketPath(), config(port), port);
    ASSERT_GT(app.pid(), 0);
    const std::string pid = std::to_string(app.pid());
    ASSERT_TRUE(
        log.waitForCount("Accepted new connection (client pid=" + pid + ")", 1, 20.0, from));
    bool kernelWasUp = false;
    switch (death) {
      case Death::AfterSetupReaped:
      case Death::AfterSetupUnreaped:
        ASSERT_EQ(app.steps(3, 30.0), "VSP");
        EXPECT_EQ(kernelPids(root_).size(), 1u);
        EXPECT_EQ(proxyNow(), ProxyPicture::on(port, port));
        kernelWasUp = true;
        break;
      case Death::DuringStart:
        ASSERT_EQ(app.steps(1, 20.0), "V");
        ASSERT_TRUE(log.waitForCount("startProxy called", 1, 20.0, from));
        break;
      case Death::DuringProxySet:
        ASSERT_EQ(app.steps(2, 30.0), "VS");
        ASSERT_TRUE(log.waitForCount("setSystemProxy called", 1, 20.0, from));
        kernelWasUp = true;
        break;
    }
    const auto killedAt = Clock::now();
    app.kill();
    ++deaths;
    if (death != Death::AfterSetupUnreaped) app.reap();

    const std::string gone =
        "看门狗：主程序(pid " + pid + ")已消失（崩溃/强杀）→ 停内核 + 清系统代理/TUN";
    const std::string done = "看门狗：已因主程序(pid " + pid + ")消失完成兜底拆除，系统恢复直连";
    ASSERT_TRUE(log.waitForCount(gone, 1, 15.0, from)) << "the death was not noticed";
    const double notice = secondsSince(killedAt);
    ASSERT_TRUE(log.waitForCount(done, 1, 20.0, from)) << "the teardown did not finish";
    if (kernelWasUp) {
      // A tick comes at most one interval after the death.
      EXPECT_LE(notice, 4.0 + 1.0);
      slowestNotice = std::max(slowestNotice, notice);
      totalNotice += notice;
      ++timed;
    }
    if (death == Death::AfterSetupUnreaped) app.reap();

    EXPECT_TRUE(kernelPids(root_).empty());
    auto s = status();
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
    // Exactly one teardown, in order: stop, then clear.
    const size_t first = log.find(gone, from);
    const size_t stopped = log.find("kernel stopped", first);
    const size_t cleared =
        log.find("configureSystemProxy: enable=false, host=, http=0, socks=0", first);
    const size_t last = log.find(done, from);
    EXPECT_LT(first, stopped);
    EXPECT_LT(stopped, cleared);
    EXPECT_LT(cleared, last);
    EXPECT_EQ(log.count("看门狗：", from), 2u);
    ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
    if (HasFailure()) break;
  }
  const double took = secondsSince(began);
  std::cout << "[ fault ] client deaths: " << deaths << " in " << took << " s; death noticed "
            << (timed > 0 ? totalNotice / timed : 0) << " s on average, at most " << slowestNotice
            << " s after the kill\n";
  EXPECT_GE(deaths, kClientDeaths);
}

}  // namespace
}  // namespace zelvo::testing::fault
