// Concurrent set and clear of the system proxy: each run's networksetup
// commands come out as one unbroken block, never mixed with another run's.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/host_paths.h"
#include "service/helper.h"
#include "support/host_test_support.h"

namespace zelvo {
namespace {

using namespace zelvo::testing::host;

TEST(SystemProxyConcurrencyTest, SetAndClearRunsNeverInterleave) {
  zelvo::testing::SandboxRoot root;
  setServices(root, "Wi-Fi\nEthernet\n");
  platform::setRoot(root.path());

  auto helper = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  constexpr int kRounds = 2;
  std::vector<std::thread> threads;
  for (int i = 0; i < kRounds; ++i) {
    threads.emplace_back(
        [&] { EXPECT_TRUE(helper->configureSystemProxy(true, "127.0.0.1", 1, 2)); });
    threads.emplace_back([&] { EXPECT_TRUE(helper->configureSystemProxy(false, "", 0, 0)); });
  }
  for (auto& t : threads) t.join();

  const std::vector<Args> calls = callsOf(root, "networksetup");

  // Cut the log into runs at each listing; a run is either six "set" commands
  // per service or three "off" commands per service, nothing else.
  int sets = 0, clears = 0;
  size_t i = 0;
  while (i < calls.size()) {
    ASSERT_EQ(calls[i], Args{"-listallnetworkservices"}) << "at call " << i;
    size_t j = i + 1;
    while (j < calls.size() && calls[j] != Args{"-listallnetworkservices"}) ++j;
    std::vector<Args> run(calls.begin() + i + 1, calls.begin() + j);
    const bool isSet = !run.empty() && run.front().front() == "-setwebproxy";
    ASSERT_EQ(run.size(), isSet ? 12u : 6u) << "run starting at call " << i;
    for (size_t k = 0; k < run.size(); ++k) {
      const std::string service = k < run.size() / 2 ? "Wi-Fi" : "Ethernet";
      EXPECT_EQ(run[k][1], service) << "call " << i + 1 + k;
      if (!isSet) {
        EXPECT_EQ(run[k].back(), "off");
      }
      if (isSet && run[k].front().find("state") != std::string::npos) {
        EXPECT_EQ(run[k].back(), "on");
      }
    }
    (isSet ? sets : clears)++;
    i = j;
  }
  EXPECT_EQ(sets, kRounds);
  EXPECT_EQ(clears, kRounds);

  platform::setRoot("/");
}

}  // namespace
}  // namespace zelvo
