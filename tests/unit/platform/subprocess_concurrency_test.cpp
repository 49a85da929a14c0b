// Real children, each watched by its own thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <sstream>

#include "platform/subprocess.h"
#include "support/proc_scan.h"
#include "unit/unit_support.h"

namespace zelvo::platform {
namespace {

using namespace std::chrono_literals;
using unit::eventually;
using unit::secondsSince;

// As in the daemon: what children leave behind comes here, and sweeps run
// beside every launch and reap.
[[maybe_unused]] const bool kAdopting = (adoptOrphans(), true);

std::shared_ptr<Subprocess> tool(const std::string& path, std::vector<std::string> args = {}) {
  auto p = Subprocess::create();
  p->setExecutable(path);
  p->setArguments(std::move(args));
  return p;
}

std::shared_ptr<Subprocess> shell(const std::string& script) {
  return tool("/bin/sh", {"-c", script});
}

TEST(SubprocessStatus, ExitCodeOrTheEndingSignalIsReported) {
  auto p = shell("exit 3");
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_EQ(std::pair(p->terminationStatus(), p->terminatedBySignal()), std::pair(3, false));
  // The parent ignores SIGTERM meanwhile; the child must not inherit that.
  struct sigaction ign = {}, old = {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ign, &old);
  auto s = tool("/bin/sleep", {"30"});
  s->launch();
  sigaction(SIGTERM, &old, nullptr);
  EXPECT_FALSE(s->waitUntilExit(Seconds(0.1)));
  s->terminate();
  ASSERT_TRUE(s->waitUntilExit(Seconds(10)));
  EXPECT_EQ(std::pair(s->terminationStatus(), s->terminatedBySignal()), std::pair(SIGTERM, true));
}

TEST(SubprocessLaunch, FailuresThrowTheirErrno) {
  auto noDir = tool("/bin/true");
  noDir->setCurrentDirectory("/nonexistent/zelvo/dir");
  const std::pair<std::shared_ptr<Subprocess>, int> cases[] = {
      {tool("/nonexistent/zelvo/tool"), ENOENT}, {tool("/etc/passwd"), EACCES}, {noDir, ENOENT}};
  for (const auto& [p, expected] : cases) {
    try {
      p->launch();
      ADD_FAILURE() << "launch() did not throw";
    } catch (const Error& e) {
      EXPECT_EQ(e.domain() + " " + std::to_string(e.code()),
                "NSPOSIXErrorDomain " + std::to_string(expected));
    }
  }
}

// Runs once, after the status is known, whether set before the child ended
// or after; one set later again is ignored; a removed one never runs.
TEST(TerminationHandler, RunsExactlyOnceAfterTheStatusIsKnownUnlessRemoved) {
  auto calls = std::make_shared<std::atomic<int>>(0), seen = std::make_shared<std::atomic<int>>(0);
  auto count = [calls](Subprocess&) { ++*calls; };
  auto p = shell("exit 5");
  p->setTerminationHandler([=](Subprocess& s) {
    *seen = s.isRunning() ? -1 : s.terminationStatus();
    ++*calls;
  });
  p->launch();
  ASSERT_TRUE(eventually([&] { return *calls == 1; }));
  EXPECT_EQ(seen->load(), 5);
  auto late = shell("exit 0");
  late->launch();
  ASSERT_TRUE(late->waitUntilExit(Seconds(10)));
  late->setTerminationHandler(count);
  ASSERT_TRUE(eventually([&] { return *calls == 2; }));
  late->setTerminationHandler(count);
  auto removed = shell("sleep 0.3");
  removed->setTerminationHandler(count);
  removed->launch();
  removed->removeTerminationHandler();
  ASSERT_TRUE(removed->waitUntilExit(Seconds(10)));
  sleepFor(Seconds(0.3));
  EXPECT_EQ(calls->load(), 2);
}

TEST(SubprocessLifetime, ChildIsReapedAfterTheOwnerIsDestroyed) {
  pid_t pid;
  {
    auto p = shell("sleep 0.2");
    p->setStdout(Subprocess::Stream::Pipe);
    p->launch();
    pid = p->pid();
  }
  ASSERT_GT(pid, 0);
  // A zombie would linger in /proc.
  EXPECT_TRUE(eventually([&] { return zelvo::testing::procFile(pid, "stat").empty(); }));
}

int openPipes() {
  return zelvo::testing::openFds(::getpid(), "pipe:");
}

// A talkative child never blocks, and what it says is kept up to a bound; a
// grandchild holding the pipe delays no one, and its reader is let go.
TEST(SubprocessPipe, DrainedWhileTheChildRunsAndNotWaitedForPastItsExit) {
  constexpr size_t kBytes = 10 * 1024 * 1024;
  const int idlePipes = openPipes();
  auto p = shell("sleep 20 & echo $!; head -c " + std::to_string(kBytes) + " /dev/zero");
  p->setStdout(Subprocess::Stream::Pipe);
  p->setStderr(Subprocess::Stream::Pipe);
  const auto t0 = unit::Clock::now();
  p->launch();
  std::thread observer([&] { (void)p->output().size(); });  // reads while it grows
  ASSERT_TRUE(p->waitUntilExit(Seconds(30)));
  observer.join();
  EXPECT_LT(secondsSince(t0), 10.0);  // the grandchild holds the pipe for 20 s
  const std::string out = p->output();
  EXPECT_EQ(out.size(), Subprocess::kMaxOutputBytes);
  EXPECT_TRUE(eventually([&] { return openPipes() <= idlePipes; }, 5s));
  kill(static_cast<pid_t>(std::atol(out.c_str())), SIGKILL);
}

TEST(RunTool, KillsAToolThatOutlivesItsTimeoutAndWhatItLeftRunning) {
  const auto t0 = unit::Clock::now();
  auto r = runTool("/bin/sh", {"-c", "sleep 30 & echo $!; exec sleep 30"}, ToolOptions{true, 0.3});
  EXPECT_TRUE(r.launched && r.timedOut && r.bySignal && r.status == SIGKILL);
  EXPECT_GE(secondsSince(t0), 0.3);
  EXPECT_LT(secondsSince(t0), 3.0);
  const auto left = static_cast<pid_t>(std::atol(r.output.c_str()));
  // Gone, or dead and waiting for its new parent.
  EXPECT_TRUE(eventually([&] { return !zelvo::testing::processAlive(left); }));
}

// A user's tool leaves a chain of 40 in sessions of their own, reaching us a link at a time.
TEST(RunTool, SweepsAChainOfStraysOfAnotherUserToItsEnd) {
  const char* chain = R"(import os, time; r, w = os.pipe()
if os.fork() == 0:
    null = os.open(os.devnull, os.O_RDWR); [os.dup2(null, fd) for fd in (0, 1, 2)]
    for link in range(40):
        os.setsid(); os.write(w, b"%d " % os.getpid())
        if link == 39 or os.fork(): break
    os.close(w); os.close(r); time.sleep(60)
os.close(w); print(b"".join(iter(lambda: os.read(r, 4096), b"")).decode()))";
  auto r = runTool("/usr/bin/python3", {"-c", chain},
                   {.identity = Subprocess::Identity{65534, 65534, {}}});
  std::istringstream pids(r.output);
  int n = 0;
  for (pid_t pid = 0; pids >> pid; ++n) {
    EXPECT_TRUE(eventually([&] { return !zelvo::testing::processAlive(pid); })) << pid;
  }
  EXPECT_EQ(n, 40);
}

}  // namespace
}  // namespace zelvo::platform
