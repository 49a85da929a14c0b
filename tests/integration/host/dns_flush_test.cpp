// The DNS flush against the dscacheutil stand-in and the real killall, with a
// process named mDNSResponder (a copy of sleep) to receive the hang-up.
#include <filesystem>

#include "platform/subprocess.h"
#include "support/host_test_support.h"

namespace zelvo::testing::host {
namespace {

class DnsFlushTest : public HostTest {
 protected:
  // Starts a process whose name is mDNSResponder; killall finds it by name.
  std::unique_ptr<Child> startResponder() {
    const std::string path = root_.at("/tmp/mDNSResponder");
    std::filesystem::create_directories(root_.at("/tmp"));
    std::filesystem::copy_file("/bin/sleep", path);
    return std::make_unique<Child>(Args{path, "300"});
  }
};

TEST_F(DnsFlushTest, MissingCacheToolIsLoggedAndTheHangUpIsStillSent) {
  auto responder = startResponder();
  std::filesystem::remove(root_.at("/usr/bin/dscacheutil"));
  startDaemon();

  auto r = client_->flushDNS();
  ASSERT_TRUE(r.ok()) << r.error->localizedDescription();
  EXPECT_TRUE(*r);

  const std::string missing = root_.at("/usr/bin/dscacheutil");
  EXPECT_EQ(daemon_->countLog("flushDNS called"), 1u);
  const auto failures = daemon_->countLog("flushDNS 子命令失败 " + missing + ": ");
  EXPECT_EQ(failures, 1u);
  EXPECT_EQ(daemon_->countLog("flushDNS 子命令失败"), 1u);
  EXPECT_EQ(daemon_->countLog("flushDNS result: flush=false hup=true"), 1u);

  const int status = responder->reap();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << "wait status " << status;
}

TEST_F(DnsFlushTest, BothCommandsSucceedingAnswerTrue) {
  auto responder = startResponder();
  startDaemon();
  auto r = client_->flushDNS();
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(*r);
  EXPECT_EQ(daemon_->countLog("flushDNS result: flush=true hup=true"), 1u);
  EXPECT_EQ(callsOf(root_, "dscacheutil"), (std::vector<Args>{{"-flushcache"}}));
  const int status = responder->reap();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP);
}

TEST_F(DnsFlushTest, BothFailingAnswerFalseAndNonZeroExitsAreNotLogged) {
  // No process named mDNSResponder: killall exits non-zero.
  writeText(standinsDir(root_) + "/fail-dscacheutil", "3\n");
  startDaemon();
  auto r = client_->flushDNS();
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  EXPECT_EQ(daemon_->countLog("flushDNS result: flush=false hup=false"), 1u);
  EXPECT_EQ(daemon_->countLog("子命令失败"), 0u);
  EXPECT_EQ(callsOf(root_, "dscacheutil"), (std::vector<Args>{{"-flushcache"}}));

  // zelvoctl reports the same answer.
  auto ctl = platform::runTool(ZELVOCTL_BIN, {"--root", root_.path(), "flush-dns"});
  EXPECT_EQ(ctl.status, 1);
  EXPECT_EQ(ctl.output, "failed\n");
}

}  // namespace
}  // namespace zelvo::testing::host
