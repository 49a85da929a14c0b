// HelperClient against the real daemon: failing pending calls at once when
// the daemon dies, reconnecting after a restart, and the blocking time-out.
#include "client/helper_client.h"

#include <signal.h>

#include "platform/dispatch.h"
#include "platform/ipc_client.h"
#include "service_test_support.h"

namespace zelvo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(HelperClientTest, PendingCallsFailAtOnceWhenTheDaemonDies) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto client = root.client();
  ASSERT_TRUE(client->getVersion().ok());
  std::atomic<bool> interrupted{false};
  client->setInterruptionHandler([&] { interrupted = true; });

  daemon.pause();  // the calls below stay pending
  auto done = std::make_shared<platform::Semaphore>();
  std::atomic<int> failures{0};
  std::atomic<long> code{0};
  for (int i = 0; i < 5; ++i) {
    client->getKernelVersion([&, done](Result<std::optional<std::string>> r) {
      if (!r.ok()) {
        code = r.error->code();
        ++failures;
      }
      done->signal();
    });
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(failures.load(), 0);
  auto killedAt = Clock::now();
  daemon.kill9();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(done->waitFor(platform::Seconds(5)));
  EXPECT_LT(Clock::now() - killedAt, 1s);
  EXPECT_EQ(failures.load(), 5);
  EXPECT_EQ(code.load(), platform::kIpcConnectionInterrupted);
  // The reader fails the pending calls first and then runs the handler, so
  // the handler may still be on its way when the last completion is seen.
  const auto handlerBy = Clock::now() + 1s;
  while (!interrupted.load() && Clock::now() < handlerBy) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(interrupted.load());
  EXPECT_FALSE(client->isConnected());

  // The socket file is still there, but nobody listens.
  auto r = client->getVersion();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error->domain(), "NSPOSIXErrorDomain");
  EXPECT_EQ(r.error->code(), ECONNREFUSED);

  // Once the daemon is back, the same client reconnects.
  daemon.start();
  auto again = client->getVersion();
  ASSERT_TRUE(again.ok()) << again.error->localizedDescription();
  EXPECT_EQ(*again, "1.0.5");
}

TEST(HelperClientTest, BlockingCallsGiveUpAtTheirTimeout) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto client = root.client();
  ASSERT_TRUE(client->getVersion().ok());
  client->setTimeout(platform::Seconds(1.0));
  daemon.pause();
  auto t0 = Clock::now();
  auto r = client->getVersion();
  auto took = std::chrono::duration<double>(Clock::now() - t0).count();
  daemon.resume();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error->code(), platform::kIpcTimedOut);
  EXPECT_GE(took, 0.9);
  EXPECT_LE(took, 1.6);
  // The late reply is dropped; the connection stays usable.
  auto next = client->getVersion();
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, "1.0.5");
}

TEST(HelperClientTest, BlockingCallInsideACompletionFailsInsteadOfDeadlocking) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  auto client = root.client();
  auto done = std::make_shared<platform::Semaphore>();
  std::optional<long> innerCode;
  client->getVersion([&, done](Result<std::string> outer) {
    auto inner = client->getKernelVersion();
    if (!inner.ok()) innerCode = inner.error->code();
    done->signal();
  });
  ASSERT_TRUE(done->waitFor(platform::Seconds(10)));
  EXPECT_EQ(innerCode, platform::kIpcBadRequest);
}

TEST(HelperClientTest, SocketPathForRoot) {
  EXPECT_EQ(HelperClient::socketPathForRoot("/"), "/var/run/com.zelvo.svc.helper.sock");
  EXPECT_EQ(HelperClient::socketPathForRoot("/tmp/r/"), "/tmp/r/var/run/com.zelvo.svc.helper.sock");
}

}  // namespace
}  // namespace zelvo::testing
