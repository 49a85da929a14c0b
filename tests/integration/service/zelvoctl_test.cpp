// zelvoctl against a running daemon and against none.
#include "service_test_support.h"

namespace zelvo::testing {
namespace {

TEST(Zelvoctl, UnreachableHelperIsOneClearLine) {
  auto r = runCommand({ZELVOCTL_BIN, "--root", "/nonexistent-zelvo-root", "version"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "zelvoctl: cannot reach the helper at "
            "/nonexistent-zelvo-root/var/run/com.zelvo.svc.helper.sock: No such file or "
            "directory\n");

  SandboxRoot root;
  { DaemonProcess daemon(root); }  // killed: its socket file stays behind with no listener
  auto refused = runCommand({ZELVOCTL_BIN, "--socket", root.socketPath(), "kernel-version"});
  EXPECT_NE(refused.exitCode, 0);
  EXPECT_EQ(refused.err,
            "zelvoctl: cannot reach the helper at " + root.socketPath() + ": Connection refused\n");
}

TEST(Zelvoctl, VersionCommands) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto v = runCommand({ZELVOCTL_BIN, "--root", root.path(), "version"});
  EXPECT_EQ(v.exitCode, 0) << v.err;
  EXPECT_EQ(v.out, "1.0.5\n");
  auto k = runCommand({ZELVOCTL_BIN, "--socket", root.socketPath(), "kernel-version"});
  EXPECT_EQ(k.exitCode, 0) << k.err;
  EXPECT_EQ(k.out, "(none)\n");

  root.installKernel();
  v = runCommand({ZELVOCTL_BIN, "--root", root.path(), "version"});
  EXPECT_EQ(v.out, "1.0.5 (zelvan-core)\n");
  k = runCommand({ZELVOCTL_BIN, "--root", root.path(), "kernel-version"});
  EXPECT_EQ(k.out, "zelvan-core\n");
  EXPECT_EQ(k.err, "");

  // Each invocation is one connection, logged with zelvoctl's own pid.
  EXPECT_TRUE(
      daemon.waitForLog("Accepted new connection (client pid=" + std::to_string(k.pid) + ")",
                        std::chrono::seconds(5)));
}

TEST(Zelvoctl, UsageErrorsDoNotTouchTheHelper) {
  auto r = runCommand({ZELVOCTL_BIN, "--root", "/nonexistent-zelvo-root"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.err.find("cannot reach"), std::string::npos);
  auto bad = runCommand({ZELVOCTL_BIN, "no-such-command"});
  EXPECT_NE(bad.exitCode, 0);
}

}  // namespace
}  // namespace zelvo::testing
