// Every fault switch of the reference kernel takes effect: the daemon's
// failure paths are driven by them, so each one is shown to work here.
#include "kernel_peer.h"

namespace zelvan::test {
namespace {

// A kernel connected to the test with `env`, not yet driven.
struct ConnectedKernel {
  explicit ConnectedKernel(std::vector<std::string> env) : peer(std::move(env)) {
    peer.listen();
    peer.spawnKernel();
    connected = peer.accept();
  }
  ~ConnectedKernel() { peer.expectCleanLog(); }
  KernelPeer peer;
  bool connected = false;
};

TEST(KernelFaults, IgnoreSigtermKeepsRunningUntilKilled) {
  ConnectedKernel k({"ZELVAN_IGNORE_SIGTERM=1"});
  ASSERT_TRUE(k.connected);
  ASSERT_EQ(::kill(k.peer.pid(), SIGTERM), 0);
  EXPECT_FALSE(k.peer.waitExit(milliseconds(700)).has_value()) << "SIGTERM was not ignored";
  k.peer.ok("getMemory");  // and it still serves
  ::kill(k.peer.pid(), SIGKILL);
  auto status = k.peer.waitExit(milliseconds(3000));
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->exited);
  EXPECT_EQ(status->code, SIGKILL);
}

TEST(KernelFaults, SilentAnswersNothingButStillActs) {
  ConnectedKernel k({"ZELVAN_SILENT=1"});
  ASSERT_TRUE(k.connected);
  uint16_t port = freePort();
  std::string id = k.peer.send("setupConfig", json{{"config", yamlConfig(port)}}.dump());
  k.peer.send("startListener", "");
  k.peer.send("getMemory", "");
  EXPECT_FALSE(k.peer.readFrame(milliseconds(800)).has_value()) << "a silent kernel replied";
  EXPECT_TRUE(k.peer.waitForLog("recv getMemory id=3", milliseconds(1000))) << k.peer.log();
  int fd = connectLoopback(port);
  EXPECT_GE(fd, 0) << "startListener was not carried out";
  closeFd(fd);
}

TEST(KernelFaults, SilentMethodsWithholdOnlyTheNamedReplies) {
  ConnectedKernel k({"ZELVAN_SILENT_METHODS=initCore, getProxies"});
  ASSERT_TRUE(k.connected);
  std::string init = k.peer.send("initCore", json{{"home-dir", "/"}, {"version", 30}}.dump());
  std::string proxies = k.peer.send("getProxies", "");
  auto mem = k.peer.call("getMemory", "");
  ASSERT_TRUE(mem);
  EXPECT_EQ((*mem)["code"], 0);
  EXPECT_FALSE(k.peer.awaitReply(init, milliseconds(300)).has_value());
  EXPECT_FALSE(k.peer.awaitReply(proxies, milliseconds(300)).has_value());
}

TEST(KernelFaults, FailMethodAnswersWithTheGivenCodeAndData) {
  ConnectedKernel k({"ZELVAN_FAIL_METHOD=changeProxy:7:no such: node"});
  ASSERT_TRUE(k.connected);
  k.peer.drive(yamlConfig(freePort()));
  auto reply =
      k.peer.call("changeProxy", json{{"group-name", "Proxy"}, {"proxy-name", "beta"}}.dump());
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["code"], 7);
  EXPECT_EQ((*reply)["data"], "no such: node");
  EXPECT_EQ(k.peer.query("getProxies")["proxies"]["Proxy"]["now"], "alpha")
      << "a failed change must not apply";
  EXPECT_EQ((*k.peer.call("updateConfig", json{{"mode", "direct"}}.dump()))["code"], 0)
      << "other methods unaffected";
}

TEST(KernelFaults, ReplyDelayHoldsEveryReply) {
  ConnectedKernel k({"ZELVAN_REPLY_DELAY_MS=500"});
  ASSERT_TRUE(k.connected);
  auto t0 = Clock::now();
  auto reply = k.peer.call("getMemory", "", milliseconds(5000));
  double took = secondsSince(t0);
  ASSERT_TRUE(reply);
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 2.0);
}

TEST(KernelFaults, ExitCodeAtOnce) {
  KernelPeer peer({"ZELVAN_EXIT_CODE=3"});
  peer.listen();
  peer.spawnKernel();
  auto status = peer.waitExit(milliseconds(5000));
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 3);
}

TEST(KernelFaults, ExitCodeAfterADelay) {
  KernelPeer peer({"ZELVAN_EXIT_CODE=4", "ZELVAN_EXIT_AFTER_MS=800"});
  peer.listen();
  auto t0 = Clock::now();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  peer.ok("getMemory");  // serves until then
  auto status = peer.waitExit(milliseconds(5000));
  ASSERT_TRUE(status);
  double took = secondsSince(t0);
  EXPECT_GE(took, 0.75);
  EXPECT_LT(took, 3.0);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 4);
}

TEST(KernelFaults, NoConnectNeverConnects) {
  KernelPeer peer({"ZELVAN_NO_CONNECT=1"});
  peer.listen();
  peer.spawnKernel();
  EXPECT_FALSE(peer.accept(milliseconds(1000)));
  EXPECT_TRUE(peer.alive());
}

TEST(KernelFaults, NoReconnectRunsOnWithoutControl) {
  TcpServer origin(echoHandler);
  KernelPeer peer({"ZELVAN_NO_RECONNECT=1"});
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  uint16_t port = freePort();
  peer.drive(yamlConfig(port));
  peer.dropConnection();
  EXPECT_FALSE(peer.accept(milliseconds(1000))) << "reconnected despite ZELVAN_NO_RECONNECT";
  EXPECT_TRUE(peer.alive());
  int fd = httpConnect(port, "127.0.0.1:" + std::to_string(origin.port()));
  ASSERT_GE(fd, 0) << "the listener should keep serving";
  EXPECT_TRUE(echoes(fd, "still proxying"));
  closeFd(fd);
  peer.expectCleanLog();
}

TEST(KernelFaults, VersionExitFailsTheTrialRun) {
  KernelPeer peer({"ZELVAN_VERSION_EXIT=5"});
  peer.spawn({"version"});
  auto status = peer.waitExit(milliseconds(5000));
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 5);
}

}  // namespace
}  // namespace zelvan::test
