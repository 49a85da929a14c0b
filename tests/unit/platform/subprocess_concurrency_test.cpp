// Subprocess under threads: the termination handler, reaping after the owner
// is gone, draining a talkative child, many children at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/subprocess.h"
#include "support/wait_counter.h"

namespace zelvo::platform {
namespace {

using Clock = std::chrono::steady_clock;

using zelvo::testing::Counter;

std::shared_ptr<Subprocess> tool(const std::string& path, std::vector<std::string> args) {
  auto p = Subprocess::create();
  p->setExecutable(path);
  p->setArguments(std::move(args));
  return p;
}

std::shared_ptr<Subprocess> shell(const std::string& script) {
  return tool("/bin/sh", {"-c", script});
}

// The state letter of /proc/<pid>/stat, or 0 when the pid no longer exists.
char processState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

bool waitGone(pid_t pid, Seconds timeout) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
  while (Clock::now() < deadline) {
    if (processState(pid) == 0) return true;
    sleepFor(Seconds(0.02));
  }
  return false;
}

// The handler runs once, after the status is known, whether it was set before
// the child ended or after; a second one set later is ignored, and a removed
// one never runs.
TEST(TerminationHandler, RunsExactlyOnceAfterTheStatusIsKnownUnlessRemoved) {
  Counter calls;
  std::atomic<int> statusSeen{-100};
  std::atomic<bool> stillRunning{true};
  auto p = shell("exit 5");
  p->setTerminationHandler([&](Subprocess& s) {
    statusSeen = s.terminationStatus();
    stillRunning = s.isRunning();
    calls.add();
  });
  p->launch();
  ASSERT_TRUE(calls.waitFor(1, Seconds(10)));
  EXPECT_EQ(statusSeen.load(), 5);
  EXPECT_FALSE(stillRunning.load());

  auto late = shell("exit 0");
  late->launch();
  ASSERT_TRUE(late->waitUntilExit(Seconds(10)));
  late->setTerminationHandler([&](Subprocess&) { calls.add(); });
  ASSERT_TRUE(calls.waitFor(2, Seconds(5)));
  late->setTerminationHandler([&](Subprocess&) { calls.add(); });  // already ran: ignored

  auto removed = tool("/bin/sleep", {"0.3"});
  removed->setTerminationHandler([&](Subprocess&) { calls.add(); });
  removed->launch();
  removed->removeTerminationHandler();
  ASSERT_TRUE(removed->waitUntilExit(Seconds(10)));
  sleepFor(Seconds(0.3));
  EXPECT_EQ(calls.value(), 2);
}

TEST(TerminationHandler, MayRemoveItselfAndDropTheLastReference) {
  // The handler owns the only reference to its Subprocess and lets it go;
  // nothing may touch freed memory afterwards (ASan watches this one).
  Counter calls;
  auto p = shell("exit 0");
  std::weak_ptr<Subprocess> weak = p;
  auto holder = std::make_shared<std::shared_ptr<Subprocess>>(p);
  p->setTerminationHandler([&calls, holder](Subprocess& s) {
    s.removeTerminationHandler();
    holder->reset();
    calls.add();
  });
  p->launch();
  p.reset();
  ASSERT_TRUE(calls.waitFor(1, Seconds(10)));
  for (int i = 0; i < 100 && !weak.expired(); ++i) sleepFor(Seconds(0.01));
  EXPECT_TRUE(weak.expired());
}

TEST(SubprocessLifetime, ChildIsReapedAfterTheOwnerIsDestroyed) {
  pid_t pid;
  {
    auto p = tool("/bin/sleep", {"0.2"});
    p->setStdout(Subprocess::Stream::Pipe);
    p->launch();
    pid = p->pid();
  }
  ASSERT_GT(pid, 0);
  // A zombie would linger in /proc with state 'Z'.
  EXPECT_TRUE(waitGone(pid, Seconds(10))) << "state " << processState(pid);
}

TEST(SubprocessPipe, TenMegabytesAreDrainedWhileTheChildRuns) {
  constexpr size_t kBytes = 10 * 1024 * 1024;
  auto p = shell("head -c " + std::to_string(kBytes) + " /dev/zero; echo done >&2");
  p->setStdout(Subprocess::Stream::Pipe);
  p->setStderr(Subprocess::Stream::Pipe);
  p->launch();
  // Another thread watches while this one waits.
  std::atomic<bool> sawRunning{false};
  std::thread observer([&] {
    if (p->isRunning()) sawRunning = true;
    (void)p->output().size();
  });
  ASSERT_TRUE(p->waitUntilExit(Seconds(60)));
  observer.join();
  EXPECT_EQ(p->terminationStatus(), 0);
  std::string out = p->output();
  ASSERT_EQ(out.size(), kBytes + 5);
  EXPECT_EQ(out.substr(kBytes), "done\n");
  EXPECT_EQ(out.find_first_not_of('\0'), kBytes);
}

TEST(SubprocessConcurrency, ManyChildrenFromManyThreadsEachGetTheirOwnStatus) {
  constexpr int kThreads = 4, kPerThread = 8;
  std::atomic<int> wrong{0}, handled{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        int code = (t * kPerThread + i) % 100;
        auto p = shell("echo " + std::to_string(code) + "; exit " + std::to_string(code));
        p->setStdout(Subprocess::Stream::Pipe);
        p->setTerminationHandler([&](Subprocess&) { handled.fetch_add(1); });
        p->launch();
        if (!p->waitUntilExit(Seconds(30)) || p->terminationStatus() != code ||
            p->output() != std::to_string(code) + "\n") {
          wrong.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  for (int i = 0; i < 100 && handled.load() < kThreads * kPerThread; ++i) sleepFor(Seconds(0.02));
  EXPECT_EQ(handled.load(), kThreads * kPerThread);
}

TEST(SubprocessConcurrency, SignalsFromSeveralThreadsWhileAnotherWaits) {
  auto p = tool("/bin/sleep", {"30"});
  p->launch();
  std::thread waiter([&] { EXPECT_TRUE(p->waitUntilExit(Seconds(10))); });
  std::vector<std::thread> killers;
  for (int i = 0; i < 4; ++i) {
    killers.emplace_back([&] {
      for (int j = 0; j < 50; ++j) p->sendSignal(j == 10 ? SIGKILL : 0);
    });
  }
  for (auto& k : killers) k.join();
  waiter.join();
  EXPECT_EQ(p->terminationStatus(), SIGKILL);
  EXPECT_TRUE(p->terminatedBySignal());
}

}  // namespace
}  // namespace zelvo::platform
