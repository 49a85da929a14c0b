// Launching real programs: exit statuses, launch errors, streams, environment.
#include "platform/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace zelvo::platform {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
  return Seconds(Clock::now() - t0).count();
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zelvo-subprocess-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name, const std::string& content, mode_t mode) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    chmod(p.c_str(), mode);
    return p;
  }

 private:
  std::string path_;
};

std::shared_ptr<Subprocess> shell(const std::string& script) {
  auto p = Subprocess::create();
  p->setExecutable("/bin/sh");
  p->setArguments({"-c", script});
  return p;
}

TEST(SubprocessStatus, ExitCodeIsReported) {
  auto p = shell("exit 3");
  p->launch();
  EXPECT_GT(p->pid(), 0);
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_FALSE(p->isRunning());
  EXPECT_EQ(p->terminationStatus(), 3);
  EXPECT_FALSE(p->terminatedBySignal());
}

TEST(SubprocessStatus, KilledChildReportsTheSignalNumber) {
  auto p = Subprocess::create();
  p->setExecutable("/bin/sleep");
  p->setArguments({"30"});
  p->launch();
  EXPECT_TRUE(p->isRunning());
  EXPECT_FALSE(p->waitUntilExit(Seconds(0.2)));
  p->sendSignal(SIGKILL);
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_EQ(p->terminationStatus(), SIGKILL);
  EXPECT_TRUE(p->terminatedBySignal());
  // Signals after the reap go nowhere (and must not reach a recycled pid).
  p->sendSignal(SIGKILL);
  p->terminate();

  auto t = Subprocess::create();
  t->setExecutable("/bin/sleep");
  t->setArguments({"30"});
  t->launch();
  t->terminate();
  ASSERT_TRUE(t->waitUntilExit(Seconds(10)));
  EXPECT_EQ(t->terminationStatus(), SIGTERM);
  EXPECT_TRUE(t->terminatedBySignal());
}

TEST(SubprocessStatus, ChildStartsWithDefaultSignalDispositions) {
  // The parent ignores SIGTERM; the child must not inherit that.
  struct sigaction ign {
  }, old{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ign, &old);
  auto p = Subprocess::create();
  p->setExecutable("/bin/sleep");
  p->setArguments({"30"});
  p->launch();
  sigaction(SIGTERM, &old, nullptr);
  p->terminate();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_TRUE(p->terminatedBySignal());
  EXPECT_EQ(p->terminationStatus(), SIGTERM);
}

// --- Launch failures ------------------------------------------------------

void expectLaunchError(Subprocess& p, int expectedErrno) {
  try {
    p.launch();
    ADD_FAILURE() << "launch() did not throw";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(e.code(), expectedErrno) << e.localizedDescription();
    EXPECT_FALSE(e.localizedDescription().empty());
  }
  EXPECT_FALSE(p.isRunning());
}

TEST(SubprocessLaunch, MissingExecutableThrowsENOENT) {
  auto p = Subprocess::create();
  p->setExecutable("/nonexistent/zelvo/tool");
  expectLaunchError(*p, ENOENT);
}

TEST(SubprocessLaunch, FileWithoutExecutePermissionThrowsEACCES) {
  TempDir dir;
  auto p = Subprocess::create();
  p->setExecutable(dir.file("plain", "#!/bin/sh\nexit 0\n", 0644));
  expectLaunchError(*p, EACCES);
}

TEST(SubprocessLaunch, GarbageBytesMarkedExecutableThrowENOEXEC) {
  TempDir dir;
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919 + 13) % 251 + 1));
  auto p = Subprocess::create();
  p->setExecutable(dir.file("garbage", garbage, 0755));
  expectLaunchError(*p, ENOEXEC);

  // No "#!" line: not run through a shell either.
  auto s = Subprocess::create();
  s->setExecutable(dir.file("noshebang", "exit 0\n", 0755));
  expectLaunchError(*s, ENOEXEC);
}

TEST(SubprocessLaunch, MissingWorkingDirectoryThrows) {
  auto p = Subprocess::create();
  p->setExecutable("/bin/true");
  p->setCurrentDirectory("/nonexistent/zelvo/dir");
  expectLaunchError(*p, ENOENT);
}

TEST(SubprocessLaunch, SecondLaunchIsRefused) {
  auto p = shell("exit 0");
  p->launch();
  EXPECT_THROW(p->launch(), Error);
  EXPECT_TRUE(p->waitUntilExit(Seconds(10)));
}

// --- Arguments, environment, directory, streams ---------------------------

TEST(SubprocessStreams, ArgumentsArePassedVerbatimWithoutAShell) {
  auto p = Subprocess::create();
  p->setExecutable("/usr/bin/printf");
  p->setArguments({"[%s]", "a b", "$HOME", "*", "", "内核"});
  p->setStdout(Subprocess::Stream::Pipe);
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_EQ(p->output(), "[a b][$HOME][*][][内核]");
}

TEST(SubprocessStreams, EnvironmentReplacesTheParentsWhenSet) {
  auto p = Subprocess::create();
  p->setExecutable("/usr/bin/env");
  p->setEnvironment({{"ZELVO_A", "1"}, {"ZELVO_B", "x=y"}});
  p->setStdout(Subprocess::Stream::Pipe);
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_EQ(p->output(), "ZELVO_A=1\nZELVO_B=x=y\n");

  setenv("ZELVO_INHERITED", "yes", 1);
  auto env = currentEnvironment();
  EXPECT_EQ(env["ZELVO_INHERITED"], "yes");
  auto q = shell("printf %s \"$ZELVO_INHERITED\"");
  q->setStdout(Subprocess::Stream::Pipe);
  q->launch();
  ASSERT_TRUE(q->waitUntilExit(Seconds(10)));
  EXPECT_EQ(q->output(), "yes");
  unsetenv("ZELVO_INHERITED");
}

TEST(SubprocessStreams, WorkingDirectoryIsSet) {
  TempDir dir;
  auto p = Subprocess::create();
  p->setExecutable("/bin/pwd");
  p->setArguments({"-P"});
  p->setCurrentDirectory(dir.path());
  p->setStdout(Subprocess::Stream::Pipe);
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_EQ(p->output(), std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(SubprocessStreams, StdoutAndStderrShareOnePipe) {
  auto p = shell("echo out; echo err >&2");
  p->setStdout(Subprocess::Stream::Pipe);
  p->setStderr(Subprocess::Stream::Pipe);
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_EQ(p->output(), "out\nerr\n");
}

TEST(SubprocessStreams, OutputGoesToAFileTheCallerStillOwns) {
  TempDir dir;
  std::string path = dir.path() + "/kernel.log";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  auto p = shell("echo to-out; echo to-err >&2");
  p->setStdout(Subprocess::Stream::File, fd);
  p->setStderr(Subprocess::Stream::File, fd);
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  // Our descriptor is still ours and still usable.
  ASSERT_EQ(write(fd, "after\n", 6), 6);
  close(fd);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "to-out\nto-err\nafter\n");
}

TEST(SubprocessStreams, NullStreamsAndNoInheritedDescriptors) {
  // A descriptor the parent forgot to mark close-on-exec must not leak.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  auto p = shell("cat; test -e /proc/self/fd/" + std::to_string(leaky) +
                 " && echo leaked || echo clean; echo hidden >&2");
  p->setStdin(Subprocess::Stream::Null);  // cat ends at once instead of waiting
  p->setStdout(Subprocess::Stream::Pipe);
  p->setStderr(Subprocess::Stream::Null);
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  close(leaky);
  EXPECT_EQ(p->output(), "clean\n");
}

TEST(SubprocessStreams, GrandchildHoldingThePipeDoesNotBlockWaitUntilExit) {
  auto p = shell("sleep 20 & echo $!");
  p->setStdout(Subprocess::Stream::Pipe);
  auto t0 = Clock::now();
  p->launch();
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_LT(secondsSince(t0), 5.0);
  EXPECT_EQ(p->terminationStatus(), 0);
  pid_t grandchild = static_cast<pid_t>(std::stol(p->output()));
  ASSERT_GT(grandchild, 0);
  kill(grandchild, SIGKILL);
}

// --- runTool ---------------------------------------------------------------

TEST(RunTool, CollectsOutputAndStatus) {
  auto r = runTool("/bin/sh", {"-c", "echo hello; echo oops >&2; exit 4"});
  EXPECT_TRUE(r.launched);
  EXPECT_FALSE(r.launchError.has_value());
  EXPECT_EQ(r.status, 4);
  EXPECT_FALSE(r.bySignal);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.output, "hello\noops\n");
}

TEST(RunTool, ReportsALaunchErrorInsteadOfThrowing) {
  auto r = runTool("/nonexistent/usr/sbin/networksetup", {"-listallnetworkservices"});
  EXPECT_FALSE(r.launched);
  ASSERT_TRUE(r.launchError.has_value());
  EXPECT_EQ(r.launchError->code(), ENOENT);
  EXPECT_EQ(r.launchError->domain(), "NSPOSIXErrorDomain");
}

TEST(RunTool, KillsAToolThatOutlivesItsTimeout) {
  auto t0 = Clock::now();
  auto r = runTool("/bin/sleep", {"30"}, ToolOptions{true, 0.3});
  double took = secondsSince(t0);
  EXPECT_TRUE(r.launched);
  EXPECT_TRUE(r.timedOut);
  EXPECT_TRUE(r.bySignal);
  EXPECT_EQ(r.status, SIGKILL);
  EXPECT_GE(took, 0.3);
  EXPECT_LT(took, 3.0);
}

TEST(RunTool, StdinIsNotInherited) {
  // A tool reading its input gets end of file, not the test's terminal.
  auto r = runTool("/bin/cat", {}, ToolOptions{true, 10});
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
}

}  // namespace
}  // namespace zelvo::platform
