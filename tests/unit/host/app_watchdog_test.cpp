// The watchdog's quiet paths, in process: with no kernel running, a vanished
// client changes nothing. The teardown itself runs against the real daemon
// and kernel in tests/integration/host.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {
namespace {

// A process id that is certainly gone: a child that exited and was reaped.
pid_t vanishedPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

TEST(AppWatchdogTest, WithoutARunningKernelAVanishedClientCausesNothing) {
  platform::LogCapture logs;
  auto helper = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  const pid_t gone = vanishedPid();

  ASSERT_TRUE(helper->acceptConnection(gone));
  EXPECT_EQ(helper->clientAppPid(), gone);
  helper->checkAppAlive();

  EXPECT_EQ(helper->clientAppPid(), gone);
  EXPECT_EQ(logs.count("看门狗："), 0u);
  EXPECT_EQ(logs.count("configureSystemProxy"), 0u);
}

TEST(AppWatchdogTest, TimerStartsOnceAndBeforeTheFirstAcceptanceLine) {
  platform::LogCapture logs;
  auto helper = std::make_shared<Helper>(std::make_shared<KernelProcessManager>());

  // A client without a process id neither starts the watch nor moves it.
  helper->acceptConnection(0);
  EXPECT_EQ(logs.count("主程序看门狗已启动"), 0u);
  EXPECT_EQ(helper->clientAppPid(), 0);

  helper->acceptConnection(::getpid());
  helper->acceptConnection(::getppid());
  EXPECT_EQ(helper->clientAppPid(), ::getppid());

  const auto lines = logs.lines();
  ASSERT_EQ(logs.count("主程序看门狗已启动"), 1u);
  size_t started = lines.size(), firstAccepted = lines.size();
  const std::string accepted = "Accepted new connection (client pid=" + std::to_string(::getpid());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("主程序看门狗已启动") != std::string::npos) started = i;
    if (firstAccepted == lines.size() && lines[i].find(accepted) != std::string::npos) {
      firstAccepted = i;
    }
  }
  EXPECT_LT(started, firstAccepted);
}

}  // namespace
}  // namespace zelvo
