// When the watchdog starts and whom it watches, in process. What it does when
// the client vanishes runs against the real daemon and kernel in
// tests/integration/host.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {
namespace {

TEST(AppWatchdogTest, TimerStartsOnceBeforeTheFirstAcceptanceLineAndWatchesTheLatestClient) {
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
