// Concurrent set and clear of the system proxy: each run's networksetup
// commands come out as one unbroken block, never mixed with another run's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "platform/host_paths.h"
#include "service/helper.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

TEST(SystemProxyConcurrencyTest, SetAndClearRunsNeverInterleave) {
  char tmpl[] = "/tmp/zelvo-sysproxy-cc-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl;
  fs::create_directories(root / "usr/sbin");
  fs::create_directories(root / "var/standins");
  fs::copy_file(fs::path(ZELVO_SOURCE_DIR) / "tools/standins/networksetup",
                root / "usr/sbin/networksetup");
  std::ofstream(root / "var/standins/network-services") << "Wi-Fi\nEthernet\n";
  platform::setRoot(root.string());

  auto helper = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  constexpr int kRounds = 2;
  std::vector<std::thread> threads;
  for (int i = 0; i < kRounds; ++i) {
    threads.emplace_back(
        [&] { EXPECT_TRUE(helper->configureSystemProxy(true, "127.0.0.1", 1, 2)); });
    threads.emplace_back([&] { EXPECT_TRUE(helper->configureSystemProxy(false, "", 0, 0)); });
  }
  for (auto& t : threads) t.join();

  std::vector<Args> calls;
  std::ifstream in(root / "var/standins/calls.jsonl");
  for (std::string line; std::getline(in, line);) {
    Args a = nlohmann::json::parse(line).get<Args>();
    calls.emplace_back(a.begin() + 1, a.end());
  }

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
      if (!isSet) EXPECT_EQ(run[k].back(), "off");
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
  fs::remove_all(root);
}

}  // namespace
}  // namespace zelvo
