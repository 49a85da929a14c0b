// Launching real programs: exit statuses, launch errors, streams, environment.
#include "platform/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
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

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/zelvo-subprocess-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

std::shared_ptr<Subprocess> tool(const std::string& path, std::vector<std::string> args = {}) {
  auto p = Subprocess::create();
  p->setExecutable(path);
  p->setArguments(std::move(args));
  return p;
}

std::shared_ptr<Subprocess> shell(const std::string& script) {
  return tool("/bin/sh", {"-c", script});
}

// Runs `p` to its end with its output piped, and returns what it wrote.
std::string outputOf(const std::shared_ptr<Subprocess>& p) {
  p->setStdout(Subprocess::Stream::Pipe);
  p->launch();
  EXPECT_TRUE(p->waitUntilExit(Seconds(10)));
  return p->output();
}

TEST(SubprocessStatus, ExitCodeOrTheEndingSignalIsReported) {
  auto p = shell("exit 3");
  p->launch();
  EXPECT_GT(p->pid(), 0);
  ASSERT_TRUE(p->waitUntilExit(Seconds(10)));
  EXPECT_FALSE(p->isRunning());
  EXPECT_EQ(p->terminationStatus(), 3);
  EXPECT_FALSE(p->terminatedBySignal());

  for (int sig : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    // The parent ignores SIGTERM meanwhile; the child must not inherit that.
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ign, &old);
    auto s = tool("/bin/sleep", {"30"});
    s->launch();
    sigaction(SIGTERM, &old, nullptr);
    EXPECT_TRUE(s->isRunning());
    EXPECT_FALSE(s->waitUntilExit(Seconds(0.1)));
    if (sig == SIGTERM) {
      s->terminate();
    } else {
      s->sendSignal(sig);
    }
    ASSERT_TRUE(s->waitUntilExit(Seconds(10)));
    EXPECT_EQ(s->terminationStatus(), sig);
    EXPECT_TRUE(s->terminatedBySignal());
    // Signals after the reap go nowhere (and must not reach a recycled pid).
    s->sendSignal(SIGKILL);
    s->terminate();
  }
}

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

TEST(SubprocessLaunch, FailuresThrowTheirErrno) {
  expectLaunchError(*tool("/nonexistent/zelvo/tool"), ENOENT);
  TempDir dir;
  const std::string plain = dir.path + "/plain";
  std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
  chmod(plain.c_str(), 0644);
  expectLaunchError(*tool(plain), EACCES);
  auto noDir = tool("/bin/true");
  noDir->setCurrentDirectory("/nonexistent/zelvo/dir");
  expectLaunchError(*noDir, ENOENT);

  auto twice = shell("exit 0");
  twice->launch();
  EXPECT_THROW(twice->launch(), Error);
  EXPECT_TRUE(twice->waitUntilExit(Seconds(10)));
}

// What the child sees of its arguments, environment, directory, streams and
// descriptors, read back through its output.
TEST(SubprocessStreams, TheChildGetsExactlyWhatWasSetUp) {
  EXPECT_EQ(outputOf(tool("/usr/bin/printf", {"[%s]", "a b", "$HOME", "*", "", "内核"})),
            "[a b][$HOME][*][][内核]");

  auto env = tool("/usr/bin/env");
  env->setEnvironment({{"ZELVO_A", "1"}, {"ZELVO_B", "x=y"}});
  EXPECT_EQ(outputOf(env), "ZELVO_A=1\nZELVO_B=x=y\n");
  setenv("ZELVO_INHERITED", "yes", 1);
  EXPECT_EQ(currentEnvironment()["ZELVO_INHERITED"], "yes");
  EXPECT_EQ(outputOf(shell("printf %s \"$ZELVO_INHERITED\"")), "yes");
  unsetenv("ZELVO_INHERITED");

  TempDir dir;
  auto pwd = tool("/bin/pwd", {"-P"});
  pwd->setCurrentDirectory(dir.path);
  EXPECT_EQ(outputOf(pwd), std::filesystem::canonical(dir.path).string() + "\n");

  auto both = shell("echo out; echo err >&2");
  both->setStderr(Subprocess::Stream::Pipe);
  EXPECT_EQ(outputOf(both), "out\nerr\n");

  // A descriptor the parent forgot to mark close-on-exec must not leak.
  const int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  auto nulls = shell("cat; test -e /proc/self/fd/" + std::to_string(leaky) +
                     " && echo leaked || echo clean; echo hidden >&2");
  nulls->setStdin(Subprocess::Stream::Null);
  nulls->setStderr(Subprocess::Stream::Null);
  EXPECT_EQ(outputOf(nulls), "clean\n");
  close(leaky);

  // Output to a file the caller still owns and may go on using.
  const std::string path = dir.path + "/kernel.log";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  auto toFile = shell("echo to-out; echo to-err >&2");
  toFile->setStdout(Subprocess::Stream::File, fd);
  toFile->setStderr(Subprocess::Stream::File, fd);
  toFile->launch();
  ASSERT_TRUE(toFile->waitUntilExit(Seconds(10)));
  ASSERT_EQ(write(fd, "after\n", 6), 6);
  close(fd);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "to-out\nto-err\nafter\n");
}

TEST(SubprocessStreams, GrandchildHoldingThePipeDoesNotBlockWaitUntilExit) {
  auto p = shell("sleep 20 & echo $!");
  auto t0 = Clock::now();
  const pid_t grandchild = static_cast<pid_t>(std::stol(outputOf(p)));
  EXPECT_LT(secondsSince(t0), 5.0);
  EXPECT_EQ(p->terminationStatus(), 0);
  ASSERT_GT(grandchild, 0);
  kill(grandchild, SIGKILL);
}

TEST(RunTool, CollectsOutputAndStatusOrTheLaunchError) {
  auto r = runTool("/bin/sh", {"-c", "echo hello; echo oops >&2; exit 4"});
  EXPECT_TRUE(r.launched);
  EXPECT_FALSE(r.launchError.has_value());
  EXPECT_EQ(r.status, 4);
  EXPECT_FALSE(r.bySignal);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.output, "hello\noops\n");

  auto missing = runTool("/nonexistent/usr/sbin/networksetup", {"-listallnetworkservices"});
  EXPECT_FALSE(missing.launched);
  ASSERT_TRUE(missing.launchError.has_value());
  EXPECT_EQ(missing.launchError->code(), ENOENT);
  EXPECT_EQ(missing.launchError->domain(), "NSPOSIXErrorDomain");
}

TEST(RunTool, KillsAToolThatOutlivesItsTimeoutAndGivesItNoInput) {
  auto t0 = Clock::now();
  auto r = runTool("/bin/sleep", {"30"}, ToolOptions{true, 0.3});
  double took = secondsSince(t0);
  EXPECT_TRUE(r.launched);
  EXPECT_TRUE(r.timedOut);
  EXPECT_TRUE(r.bySignal);
  EXPECT_EQ(r.status, SIGKILL);
  EXPECT_GE(took, 0.3);
  EXPECT_LT(took, 3.0);

  // Our standard input is a pipe that never ends: a tool that inherited it
  // would wait on it until killed.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int saved = dup(STDIN_FILENO);
  dup2(p[0], STDIN_FILENO);
  auto cat = runTool("/bin/cat", {}, ToolOptions{true, 5});
  dup2(saved, STDIN_FILENO);
  close(saved);
  close(p[0]);
  close(p[1]);
  EXPECT_FALSE(cat.timedOut);
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.output, "");
}

}  // namespace
}  // namespace zelvo::platform
