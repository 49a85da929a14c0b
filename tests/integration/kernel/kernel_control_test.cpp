// The reference kernel's control-socket side, driven by the test acting as
// the daemon: start-up, methods and their reply shapes, configuration
// reading, frame limits, and log redaction. How it ends is in
// kernel_fault_test.cpp.
#include "kernel_peer.h"

namespace zelvan::test {
namespace {

TEST(KernelStartup, StartListenerFailsBeforeAConfigurationAndOnABusyPort) {
  TcpServer squatter(echoHandler);  // holds the port
  KernelPeer peer;
  ASSERT_TRUE(peer.start());
  for (bool configured : {false, true}) {
    if (configured) peer.setupConfig(yamlConfig(squatter.port()));
    auto reply = peer.call("startListener", "");
    ASSERT_TRUE(reply);
    EXPECT_NE((*reply)["code"], 0);
    ASSERT_TRUE((*reply)["data"].is_string());
    const std::string text = (*reply)["data"];
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("in use") != std::string::npos, configured) << text;
  }
  peer.expectCleanLog();
}

TEST(KernelStartup, ConnectsOnceTheSocketAppears) {
  KernelPeer peer;
  peer.spawnKernel();  // nothing listens yet
  std::this_thread::sleep_for(milliseconds(600));
  ASSERT_TRUE(peer.alive());
  peer.listen();
  auto t0 = Clock::now();
  ASSERT_TRUE(peer.accept(milliseconds(3000)));
  EXPECT_LT(secondsSince(t0), 1.0) << "retry interval should be well under a second";
  peer.ok("getMemory");
}

// RunningKernel has driven the start-up; each of its replies carried the
// request's id, code 0 and empty data.
TEST(KernelMethods, SelectionsAreKeptAndReportedAndRefusalsApplyNothing) {
  RunningKernel k;
  KernelPeer& peer = k.peer;
  EXPECT_EQ(peer.countInLog("recv initCore id=1\n"), 1) << peer.log();
  EXPECT_EQ(peer.countInLog("recv setupConfig id=2\n"), 1);
  EXPECT_EQ(peer.countInLog("recv startListener id=3\n"), 1);
  json cfg = peer.query("getConfig");
  EXPECT_EQ(cfg["mode"], "rule");
  EXPECT_EQ(cfg["mixed-port"], k.port);
  EXPECT_EQ(cfg["tun"]["enable"], false);
  EXPECT_EQ(cfg["listening"], json::array({k.port}));
  EXPECT_GT(peer.query("getMemory")["inuse"].get<long long>(), 0);
  EXPECT_TRUE(peer.query("getExternalProviders")["providers"].is_object());

  json proxies = peer.query("getProxies")["proxies"];
  ASSERT_TRUE(proxies.contains("GLOBAL"));
  EXPECT_EQ(proxies["Proxy"]["now"], "alpha");
  EXPECT_EQ(proxies["Proxy"]["all"], json::array({"alpha", "beta", "DIRECT"}));
  EXPECT_EQ(proxies["Block"]["all"], json::array({"REJECT", "DIRECT"}));
  EXPECT_EQ(proxies["alpha"]["type"], "ss");

  EXPECT_EQ(peer.ok("changeProxy", KernelPeer::choice("Proxy", "beta")), "");
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");

  // Refusals: a non-zero code and a text, and nothing applied.
  for (const auto& [method, data] : std::vector<std::pair<std::string, std::string>>{
           {"changeProxy", KernelPeer::choice("Nope", "beta")},
           {"changeProxy", KernelPeer::choice("Proxy", "gamma")},
           {"frobnicate", ""}}) {
    auto reply = peer.call(method, data);
    ASSERT_TRUE(reply) << data;
    EXPECT_NE((*reply)["code"], 0) << data;
    EXPECT_FALSE((*reply)["data"].get<std::string>().empty()) << data;
  }
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");

  // A reload keeps selections that still exist and applies the selected map.
  peer.setupConfig(yamlConfig(k.port));
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");
  peer.setupConfig(yamlConfig(k.port), {{"Proxy", "DIRECT"}});
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "DIRECT");
}

TEST(KernelConfig, ReadsPortsAndOutboundsLikeTheDaemon) {
  KernelPeer peer;
  ASSERT_TRUE(peer.start());
  peer.initCore();

  // Indented key, comments, quoting, anchors and a flow sequence.
  uint16_t p1 = freePort();
  peer.setupConfig("# generated\ngeneral:\n    mixed-port:   " + std::to_string(p1) + R"(
mode: Global
tun: {enable: true, stack: system}
proxies:
- name: "hk #1"   # trailing comment
  type: trojan
- name: 'jp''s'
  type: ss
proxy-groups:
- name: Auto
  type: url-test
  proxies: ["hk #1", "jp's", ghost]
- &sel
  name: Pick
  type: select
  proxies:
  - Auto
  - DIRECT
)",
                   {{"Pick", "DIRECT"}, {"Auto", "ghost"}});
  peer.ok("startListener");
  json cfg = peer.query("getConfig");
  EXPECT_EQ(cfg["mixed-port"], p1);
  EXPECT_EQ(cfg["mode"], "global");
  EXPECT_EQ(cfg["tun"]["enable"], true);
  json proxies = peer.query("getProxies")["proxies"];
  EXPECT_EQ(proxies["Auto"]["all"], json::array({"hk #1", "jp's"}))
      << "unknown members are dropped";
  EXPECT_EQ(proxies["Auto"]["type"], "URLTest");
  EXPECT_EQ(proxies["Pick"]["now"], "DIRECT");
  EXPECT_EQ(proxies["Auto"]["now"], "hk #1") << "an inapplicable selection is ignored";
  EXPECT_EQ(proxies["GLOBAL"]["all"],
            json::array({"DIRECT", "REJECT", "Auto", "Pick", "hk #1", "jp's"}));

  // JSON form: the HTTP port from "inbounds" (the SOCKS one listens too),
  // groups from sing-box style "outbounds". The listener moves on reload.
  uint16_t http = freePort(), socks = freePort();
  peer.setupConfig(json{
      {"inbounds",
       {{{"type", "mixed"}, {"listen_port", http}}, {{"type", "socks"}, {"listen_port", socks}}}},
      {"outbounds",
       {{{"type", "selector"}, {"tag", "select"}, {"outbounds", json::array({"out-a", "out-b"})}},
        {{"type", "direct"}, {"tag", "out-a"}},
        {{"type", "direct"}, {"tag", "out-b"}}}}}
                       .dump());
  cfg = peer.query("getConfig");
  EXPECT_EQ(cfg["mixed-port"], http);
  EXPECT_EQ(cfg["ports"], json::array({http, socks}));
  EXPECT_EQ(cfg["listening"].size(), 2u);
  EXPECT_EQ(peer.query("getProxies")["proxies"]["select"]["all"], json::array({"out-a", "out-b"}));
  int fd = connectLoopback(p1);
  EXPECT_LT(fd, 0) << "the old port should be closed after the reload";
  closeFd(fd);
  fd = connectLoopback(socks);
  EXPECT_GE(fd, 0);
  closeFd(fd);

  // Nothing to select from: the documented default outbounds.
  uint16_t p3 = freePort();
  peer.setupConfig("mixed-port: " + std::to_string(p3) + "\n");
  proxies = peer.query("getProxies")["proxies"];
  EXPECT_EQ(proxies["Proxy"]["all"], json::array({"direct-1", "direct-2", "DIRECT"}));
  EXPECT_EQ(proxies["GLOBAL"]["now"], "DIRECT");
  EXPECT_EQ(peer.query("getConfig")["mixed-port"], p3);
  peer.expectCleanLog();
}

TEST(KernelFrames, SplitFramesAndNonObjectsAreToleratedRefusedLengthsReconnect) {
  KernelPeer peer;
  ASSERT_TRUE(peer.start());

  // Header in two pieces, body byte by byte.
  std::string f =
      KernelPeer::frame(json{{"id", "a1"}, {"method", "getMemory"}, {"data", ""}}.dump());
  peer.sendRaw(f.substr(0, 2));
  std::this_thread::sleep_for(milliseconds(50));
  peer.sendRaw(f.substr(2, 2));
  for (size_t i = 4; i < f.size(); ++i) peer.sendRaw(f.substr(i, 1));
  auto r = peer.awaitReply("a1");
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["code"], 0);

  // A well-formed frame that is no object is ignored; the next one is served.
  peer.sendRaw(KernelPeer::frame("[1,2,3]"));
  peer.sendRaw(KernelPeer::frame("not json"));
  EXPECT_EQ((*peer.call("getMemory", ""))["code"], 0);

  // 0x01FFFFFF bytes, the largest accepted body (padded with white space,
  // which the JSON parser skips cheaply).
  std::string body = R"({"id":"big","method":"getConfig","data":""})";
  body.resize(0x01FFFFFF, ' ');
  peer.sendRaw(KernelPeer::frame(body));
  auto big = peer.awaitReply("big", milliseconds(30000));
  ASSERT_TRUE(big);
  EXPECT_EQ((*big)["code"], 0);

  // A refused length drops the connection; the kernel comes back on its own.
  for (uint32_t bad : {0u, 0x02000000u}) {
    peer.sendRaw(KernelPeer::le32(bad));
    EXPECT_TRUE(waitForEof(peer.connFd(), milliseconds(3000)))
        << "length " << bad << " was not refused";
    ASSERT_TRUE(peer.accept(milliseconds(3000))) << "no reconnection after length " << bad;
    peer.ok("getMemory");  // the new connection works
  }
  peer.expectCleanLog();
}

TEST(KernelLog, RedactionKeepsConfigurationOutOfTheLog) {
  const std::string marker = "s3cret-marker-7f1c";
  for (bool redact : {true, false}) {
    KernelPeer peer(redact ? std::vector<std::string>{"ZELVAN_REDACT_LOG=1"}
                           : std::vector<std::string>{});
    ASSERT_TRUE(peer.start());
    std::string config = yamlConfig(freePort(), "# password: " + marker + "\n");
    peer.drive(config, {{"Proxy", "beta"}});
    peer.ok("changeProxy", KernelPeer::choice("Proxy", "alpha"));
    std::string log = peer.log();
    EXPECT_NE(log.find("recv setupConfig id=2"), std::string::npos);
    EXPECT_NE(log.find("configuration of " + std::to_string(config.size()) + " bytes"),
              std::string::npos)
        << log;
    if (redact) {
      EXPECT_EQ(log.find(marker), std::string::npos) << log;
      EXPECT_EQ(log.find("alpha"), std::string::npos) << "proxy names are configuration too:\n"
                                                      << log;
    } else {
      EXPECT_NE(log.find(marker), std::string::npos) << "without redaction the content is shown:\n"
                                                     << log;
    }
  }
}

}  // namespace
}  // namespace zelvan::test
