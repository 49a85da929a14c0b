// What the daemon costs: idle connections, descriptors given back, and no CPU
// while nothing happens.
#include <unistd.h>

#include "service_test_support.h"

namespace zelvo::testing {
namespace {

using namespace std::chrono_literals;

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(ServiceResources, AThousandIdleConnectionsAreCheapAndGivenBack) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  // Start-up work (launch reconciliation runs tools through pipes) must be
  // over before the baseline is taken: wait for the count to hold still.
  int fdsBefore = daemon.openFdCount();
  for (int stable = 0, i = 0; stable < 10 && i < 200; ++i) {
    std::this_thread::sleep_for(50ms);
    int now = daemon.openFdCount();
    stable = now == fdsBefore ? stable + 1 : 0;
    fdsBefore = now;
  }
  long rssBefore = daemon.rssKiB();
  ASSERT_GT(fdsBefore, 0);

  constexpr int n = 1000;
  std::vector<std::unique_ptr<RawConnection>> conns;
  for (int i = 0; i < n; ++i) {
    conns.push_back(std::make_unique<RawConnection>(root.socketPath()));
    ASSERT_TRUE(conns.back()->connected()) << i;
  }
  ASSERT_TRUE(
      waitFor([&] { return daemon.countLog("Accepted new connection") >= size_t(n); }, 60s));
  ASSERT_TRUE(waitFor([&] { return daemon.openFdCount() >= fdsBefore + n; }, 10s))
      << "descriptors before " << fdsBefore << ", now " << daemon.openFdCount();
  long rssAfter = daemon.rssKiB();
  double perConnection = double(rssAfter - rssBefore) * 1024 / n;
  std::cout << "[ figures ] RSS " << rssBefore << " KiB idle, " << rssAfter << " KiB with " << n
            << " idle connections: " << perConnection << " bytes each\n";
  EXPECT_LT(perConnection, 64 * 1024);

  conns.clear();
  ASSERT_TRUE(waitFor([&] { return daemon.countLog("Connection invalidated") >= size_t(n); }, 60s));
  EXPECT_TRUE(waitFor([&] { return daemon.openFdCount() <= fdsBefore; }, 10s))
      << "descriptors before " << fdsBefore << ", after " << daemon.openFdCount();
}

TEST(ServiceResources, AnIdleDaemonUsesNoCpu) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  std::this_thread::sleep_for(500ms);
  long before = daemon.cpuTicks();
  std::this_thread::sleep_for(3s);
  long used = daemon.cpuTicks() - before;
  std::cout << "[ figures ] idle CPU over 3 s: " << used << " ticks of 1/" << sysconf(_SC_CLK_TCK)
            << " s\n";
  // A tick of slack for a worker retiring; a polling loop costs far more.
  EXPECT_LE(used, 1);
}

}  // namespace
}  // namespace zelvo::testing
