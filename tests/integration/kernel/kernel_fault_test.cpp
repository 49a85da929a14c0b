// Every fault switch of the reference kernel takes effect: the daemon's
// failure paths are driven by them, so each one is shown to work here, next to
// the ways a kernel without them ends.
#include "kernel_peer.h"

namespace zelvan::test {
namespace {

// How a kernel process ends: by itself, or after the test's `end`, within the
// given seconds of the spawn (or of `end`). One that connects is driven first.
TEST(KernelFaults, ExitSwitchesAndTheWaysToStop) {
  enum End { kByItself, kSigterm, kShutdown, kSigtermThenSigkill };
  struct Case {
    const char* name;
    std::vector<std::string> env;
    bool versionRun, connects;
    End end;
    ExitStatus expected;
    double minSeconds, maxSeconds;
  };
  // clang-format off
  const Case cases[] = {
      {"version run", {}, true, false, kByItself, {true, 0}, 0, 5},
      {"ZELVAN_VERSION_EXIT", {"ZELVAN_VERSION_EXIT=5"}, true, false, kByItself, {true, 5}, 0, 5},
      {"ZELVAN_EXIT_CODE", {"ZELVAN_EXIT_CODE=3"}, false, false, kByItself, {true, 3}, 0, 5},
      {"ZELVAN_EXIT_AFTER_MS", {"ZELVAN_EXIT_CODE=4", "ZELVAN_EXIT_AFTER_MS=800"},
                               false, true, kByItself, {true, 4}, 0.75, 3},
      {"SIGTERM", {}, false, true, kSigterm, {true, 0}, 0, 1.5},
      {"shutdown request", {}, false, true, kShutdown, {true, 0}, 0, 1.5},
      {"ZELVAN_NO_CONNECT", {"ZELVAN_NO_CONNECT=1"}, false, false, kSigterm, {true, 0}, 0, 1.5},
      {"ZELVAN_IGNORE_SIGTERM", {"ZELVAN_IGNORE_SIGTERM=1"},
                                false, true, kSigtermThenSigkill, {false, SIGKILL}, 0, 1.5},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KernelPeer peer(c.env);
    peer.listen();
    auto t0 = Clock::now();
    peer.spawn({c.versionRun ? "version" : peer.socketPath()});
    if (c.connects) {
      ASSERT_TRUE(peer.accept());
      peer.drive(yamlConfig(freePort()));  // listening, as in real use
    } else if (c.end != kByItself) {
      EXPECT_FALSE(peer.accept(milliseconds(1000))) << "connected despite ZELVAN_NO_CONNECT";
      EXPECT_TRUE(peer.alive());
    }
    if (c.end == kShutdown) peer.sendRaw(KernelPeer::frame(R"({"id":"0","method":"shutdown"})"));
    if (c.end == kSigterm || c.end == kSigtermThenSigkill) {
      ASSERT_EQ(::kill(peer.pid(), SIGTERM), 0);
    }
    if (c.end == kSigtermThenSigkill) {
      EXPECT_FALSE(peer.waitExit(milliseconds(700))) << "SIGTERM was not ignored";
      peer.ok("getMemory");
      ::kill(peer.pid(), SIGKILL);
    }
    if (c.end != kByItself) t0 = Clock::now();
    auto status = peer.waitExit(milliseconds(5000));
    ASSERT_TRUE(status) << "still running";
    const double took = secondsSince(t0);
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LT(took, c.maxSeconds);
    EXPECT_EQ(status->exited, c.expected.exited);
    EXPECT_EQ(status->code, c.expected.code);
    if (c.versionRun) {
      EXPECT_NE(peer.log().find("zelvan-core 1.0.0\n"), std::string::npos);
    }
    // Nothing more comes: in particular, shutdown is never answered.
    EXPECT_FALSE(c.connects && peer.readFrame(milliseconds(200)));
    EXPECT_FALSE(!c.connects && c.end == kByItself && peer.accept(milliseconds(0)));
    peer.expectCleanLog();
  }
}

TEST(KernelFaults, SilentAnswersNothingButStillActs) {
  KernelPeer peer({"ZELVAN_SILENT=1"});
  ASSERT_TRUE(peer.start());
  uint16_t port = freePort();
  peer.send("setupConfig", json{{"config", yamlConfig(port)}}.dump());
  peer.send("startListener", "");
  peer.send("getMemory", "");
  EXPECT_FALSE(peer.readFrame(milliseconds(800)).has_value()) << "a silent kernel replied";
  EXPECT_TRUE(eventually([&] { return peer.countInLog("recv getMemory id=3\n") == 1; }))
      << peer.log();
  int fd = connectLoopback(port);
  EXPECT_GE(fd, 0) << "startListener was not carried out";
  closeFd(fd);
  peer.expectCleanLog();
}

// Both switches on one kernel, so each is also seen to leave the other
// methods alone.
TEST(KernelFaults, SilentAndFailingMethodsAffectOnlyTheNamedOnes) {
  RunningKernel k({"ZELVAN_SILENT_METHODS=getTraffic, getMemory",
                   "ZELVAN_FAIL_METHOD=changeProxy:7:no such: node"});
  KernelPeer& peer = k.peer;
  std::string traffic = peer.send("getTraffic", false), memory = peer.send("getMemory", "");
  EXPECT_EQ(peer.query("getConfig")["mode"], "rule");
  EXPECT_FALSE(peer.awaitReply(traffic, milliseconds(300)).has_value());
  EXPECT_FALSE(peer.awaitReply(memory, milliseconds(300)).has_value());
  EXPECT_EQ(peer.countInLog("recv getMemory"), 1) << "a silent method is still received";

  auto reply = peer.call("changeProxy", KernelPeer::choice("Proxy", "beta"));
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["code"], 7);
  EXPECT_EQ((*reply)["data"], "no such: node");
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "alpha")
      << "a failed change must not apply";
  peer.ok("updateConfig", json{{"mode", "direct"}}.dump());
}

TEST(KernelFaults, ReplyDelayHoldsEveryReply) {
  KernelPeer peer({"ZELVAN_REPLY_DELAY_MS=500"});
  ASSERT_TRUE(peer.start());
  auto t0 = Clock::now();
  auto reply = peer.call("getMemory", "", milliseconds(5000));
  double took = secondsSince(t0);
  ASSERT_TRUE(reply);
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 2.0);
}

TEST(KernelFaults, NoReconnectRunsOnWithoutControl) {
  TcpServer origin(echoHandler);
  RunningKernel k({"ZELVAN_NO_RECONNECT=1"});
  k.peer.dropConnection();
  EXPECT_FALSE(k.peer.accept(milliseconds(1000))) << "reconnected despite ZELVAN_NO_RECONNECT";
  EXPECT_TRUE(k.peer.alive());
  int fd = httpConnect(k.port, "127.0.0.1:" + std::to_string(origin.port()));
  ASSERT_GE(fd, 0) << "the listener should keep serving";
  EXPECT_TRUE(echoes(fd, "still proxying"));
  closeFd(fd);
}

}  // namespace
}  // namespace zelvan::test
