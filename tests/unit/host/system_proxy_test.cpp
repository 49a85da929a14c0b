// The system proxy against the networksetup stand-in in a sandbox root: a
// tool that fails, hangs or prints no text, and what the leftover test reads.
// The commands of a set and a clear run against the real daemon in
// tests/integration/host.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "platform/host_paths.h"
#include "platform/log.h"
#include "service/helper.h"
#include "support/host_test_support.h"

namespace zelvo {
namespace {

using namespace zelvo::testing::host;

class SystemProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setRoot(root_.path());
    helper_ = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  }
  void TearDown() override { platform::setRoot("/"); }

  // Replaces networksetup with a shell script.
  void replaceTool(const std::string& script) {
    const std::string path = root_.at("/usr/sbin/networksetup");
    std::filesystem::remove(path);
    writeText(path, script);
    ::chmod(path.c_str(), 0755);
  }

  zelvo::testing::SandboxRoot root_;
  std::shared_ptr<Helper> helper_;
  platform::LogCapture logs_;
};

TEST_F(SystemProxyTest, ToolThatCannotRunOrPrintsNoTextMeansNoServices) {
  std::filesystem::remove(root_.at("/usr/sbin/networksetup"));
  EXPECT_EQ(helper_->runNetworksetup({"-listallnetworkservices"}), std::nullopt);
  EXPECT_TRUE(helper_->listNetworkServices().empty());
  EXPECT_FALSE(helper_->configureSystemProxy(true, "127.0.0.1", 1, 2));
  EXPECT_FALSE(helper_->isLocalSystemProxyLeftover());
  EXPECT_EQ(logs_.count(": no network services"), 1u);

  // Output that is not UTF-8 counts as no output at all.
  replaceTool("#!/bin/sh\nprintf 'Wi-Fi\\n\\377\\376\\n'\n");
  EXPECT_EQ(helper_->runNetworksetup({"-listallnetworkservices"}), std::nullopt);
  EXPECT_TRUE(helper_->listNetworkServices().empty());

  // Output goes through one pipe for both streams, whatever the exit status.
  replaceTool("#!/bin/sh\necho out\necho err >&2\nexit 3\n");
  EXPECT_EQ(helper_->runNetworksetup({}), std::optional<std::string>("out\nerr\n"));
}

TEST_F(SystemProxyTest, LeftoverTestReadsOnlyTheFirstEnabledServicesWebProxy) {
  setServices(root_, "*Disabled\nWi-Fi\nEthernet\n");
  presetProxy(root_, "Wi-Fi", "web", true, "localhost.", "65000");
  EXPECT_TRUE(helper_->isLocalSystemProxyLeftover());
  EXPECT_EQ(callsOf(root_, "networksetup"),
            (std::vector<Args>{{"-listallnetworkservices"}, {"-getwebproxy", "Wi-Fi"}}));

  // A local proxy of another kind, on a later service or on a disabled one,
  // is not looked at.
  presetProxy(root_, "Wi-Fi", "web", false, "127.0.0.1", "7890");
  presetProxy(root_, "Wi-Fi", "socks", true, "127.0.0.1", "7891");
  presetProxy(root_, "Ethernet", "web", true, "127.0.0.1", "7890");
  presetProxy(root_, "Disabled", "web", true, "127.0.0.1", "7890");
  EXPECT_FALSE(helper_->isLocalSystemProxyLeftover());
}

TEST_F(SystemProxyTest, HungToolIsGivenUpAfterItsTimeOut) {
  writeText(standinsDir(root_) + "/hang-networksetup", "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(helper_->listNetworkServices().empty());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(seconds, 9.0);
  EXPECT_LT(seconds, 20.0);
}

}  // namespace
}  // namespace zelvo
