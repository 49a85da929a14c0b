// The reference kernel's control-socket side, driven by the test acting as
// the daemon: version run, start-up sequence, methods and their reply
// shapes, configuration reading, frame limits, log format and redaction,
// shutdown and SIGTERM.
#include "kernel_peer.h"

namespace zelvan::test {
namespace {

TEST(KernelVersion, PrintsNameAndVersionAndExitsZero) {
  KernelPeer peer;
  peer.spawn({"version"});
  auto status = peer.waitExit(milliseconds(5000));
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  EXPECT_NE(peer.log().find("zelvan-core 1.0.0\n"), std::string::npos) << peer.log();
}

TEST(KernelStartup, AnswersTheDriveSequenceAndLogsEachRequest) {
  KernelPeer peer;
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  uint16_t port = freePort();
  // Each reply carries the request's id, code 0 and empty data: the daemon
  // counts a non-empty data text as a failure of an action.
  for (const auto& [method, data] : std::vector<std::pair<std::string, json>>{
           {"initCore", json{{"home-dir", peer.dir()}, {"version", 30}}.dump()},
           {"setupConfig", json{{"selected-map", json::object()},
                                {"test-url", "https://x.invalid/generate_204"},
                                {"config", yamlConfig(port)}}
                               .dump()},
           {"startListener", ""}}) {
    std::string id = peer.send(method, data);
    auto reply = peer.awaitReply(id);
    ASSERT_TRUE(reply) << method;
    EXPECT_EQ((*reply)["id"], id);
    EXPECT_EQ((*reply)["code"], 0) << method << ": " << reply->dump();
    EXPECT_EQ((*reply)["data"], "") << method;
  }
  EXPECT_EQ(peer.countInLog("recv initCore id=1\n"), 1) << peer.log();
  EXPECT_EQ(peer.countInLog("recv setupConfig id=2\n"), 1);
  EXPECT_EQ(peer.countInLog("recv startListener id=3\n"), 1);

  json cfg = peer.query("getConfig");
  EXPECT_EQ(cfg["mode"], "rule");
  EXPECT_EQ(cfg["mixed-port"], port);
  EXPECT_EQ(cfg["tun"]["enable"], false);
  EXPECT_EQ(cfg["listening"], json::array({port}));
  int fd = connectLoopback(port);
  EXPECT_GE(fd, 0) << "listener not open on the configured port";
  closeFd(fd);
  peer.expectCleanLog();
}

TEST(KernelStartup, StartListenerOnABusyPortFailsWithCodeAndText) {
  TcpServer squatter(echoHandler);  // holds the port
  KernelPeer peer;
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  peer.ok("initCore", json{{"home-dir", peer.dir()}, {"version", 30}}.dump());
  peer.ok("setupConfig",
          json{{"selected-map", json::object()}, {"config", yamlConfig(squatter.port())}}.dump());
  auto reply = peer.call("startListener", "");
  ASSERT_TRUE(reply);
  EXPECT_NE((*reply)["code"], 0);
  ASSERT_TRUE((*reply)["data"].is_string());
  EXPECT_NE((*reply)["data"].get<std::string>().find("in use"), std::string::npos) << reply->dump();
  peer.expectCleanLog();
}

TEST(KernelStartup, StartListenerBeforeAnyConfigurationIsRefused) {
  KernelPeer peer;
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  auto reply = peer.call("startListener", "");
  ASSERT_TRUE(reply);
  EXPECT_NE((*reply)["code"], 0);
  EXPECT_FALSE((*reply)["data"].get<std::string>().empty());
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

TEST(KernelMethods, SelectionsModeAndTunAreKeptAndReported) {
  RunningKernel k;
  KernelPeer& peer = k.peer;

  json proxies = peer.query("getProxies")["proxies"];
  ASSERT_TRUE(proxies.contains("GLOBAL"));
  EXPECT_EQ(proxies["Proxy"]["now"], "alpha");
  EXPECT_EQ(proxies["Proxy"]["all"], json::array({"alpha", "beta", "DIRECT"}));
  EXPECT_EQ(proxies["Block"]["all"], json::array({"REJECT", "DIRECT"}));
  EXPECT_EQ(proxies["alpha"]["type"], "ss");

  peer.ok("changeProxy", json{{"group-name", "Proxy"}, {"proxy-name", "beta"}}.dump());
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");

  // Unknown group or proxy: non-zero code and a text, selection unchanged.
  for (const json& bad : {json{{"group-name", "Nope"}, {"proxy-name", "beta"}},
                          json{{"group-name", "Proxy"}, {"proxy-name", "gamma"}}}) {
    auto reply = peer.call("changeProxy", bad.dump());
    ASSERT_TRUE(reply);
    EXPECT_NE((*reply)["code"], 0) << bad.dump();
    EXPECT_FALSE((*reply)["data"].get<std::string>().empty());
  }
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");

  peer.ok("updateConfig", json{{"mode", "global"}}.dump());
  json tun = {{"enable", true},     {"device", ""},
              {"stack", "gvisor"},  {"dns-hijack", json::array({"any:53"})},
              {"auto-route", true}, {"route-address", json::array()}};
  peer.ok("updateConfig", json{{"tun", tun}}.dump());
  json cfg = peer.query("getConfig");
  EXPECT_EQ(cfg["mode"], "global");
  EXPECT_EQ(cfg["tun"]["enable"], true);
  EXPECT_EQ(cfg["tun"]["stack"], "gvisor");

  auto badMode = peer.call("updateConfig", json{{"mode", "sideways"}}.dump());
  ASSERT_TRUE(badMode);
  EXPECT_NE((*badMode)["code"], 0);
  EXPECT_EQ(peer.query("getConfig")["mode"], "global");

  // A reload keeps selections that still exist and applies the selected map.
  peer.ok("setupConfig",
          json{{"selected-map", json::object()}, {"config", yamlConfig(k.port)}}.dump());
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");
  peer.ok("setupConfig",
          json{{"selected-map", {{"Proxy", "DIRECT"}}}, {"config", yamlConfig(k.port)}}.dump());
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "DIRECT");
}

TEST(KernelMethods, QueriesAnswerJsonTextAndUnknownMethodsFail) {
  RunningKernel k;
  KernelPeer& peer = k.peer;
  json mem = peer.query("getMemory");
  EXPECT_GT(mem["inuse"].get<long long>(), 0);
  EXPECT_TRUE(peer.query("getExternalProviders")["providers"].is_object());
  json conns = peer.query("getConnections");
  EXPECT_TRUE(conns["connections"].is_array());
  for (const char* m : {"getTraffic", "getTotalTraffic"}) {
    json t = peer.query(m, false);
    EXPECT_TRUE(t["up"].is_number()) << m;
    EXPECT_TRUE(t["down"].is_number()) << m;
  }
  auto reply = peer.call("frobnicate", "");  // answered by id even when unknown
  ASSERT_TRUE(reply);
  EXPECT_NE((*reply)["code"], 0);
  EXPECT_FALSE((*reply)["data"].get<std::string>().empty());
}

TEST(KernelConfig, ReadsPortsAndOutboundsLikeTheDaemon) {
  KernelPeer peer;
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  peer.ok("initCore", json{{"home-dir", peer.dir()}, {"version", 30}}.dump());
  auto setup = [&](const std::string& config, const json& selected = json::object()) {
    peer.ok("setupConfig", json{{"selected-map", selected}, {"config", config}}.dump());
  };

  // Indented key, comments, quoting, anchors and a flow sequence.
  uint16_t p1 = freePort();
  setup(
      "# generated\n"
      "general:\n"
      "    mixed-port:   " +
          std::to_string(p1) +
          "\n"
          "mode: Global\n"
          "tun: {enable: true, stack: system}\n"
          "proxies:\n"
          "- name: \"hk #1\"   # trailing comment\n"
          "  type: trojan\n"
          "- name: 'jp''s'\n"
          "  type: ss\n"
          "proxy-groups:\n"
          "- name: Auto\n"
          "  type: url-test\n"
          "  proxies: [\"hk #1\", \"jp's\", ghost]\n"
          "- &sel\n"
          "  name: Pick\n"
          "  type: select\n"
          "  proxies:\n"
          "  - Auto\n"
          "  - DIRECT\n",
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
  setup(json{
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
  setup("mixed-port: " + std::to_string(p3) + "\n");
  proxies = peer.query("getProxies")["proxies"];
  EXPECT_EQ(proxies["Proxy"]["all"], json::array({"direct-1", "direct-2", "DIRECT"}));
  EXPECT_EQ(proxies["GLOBAL"]["now"], "DIRECT");
  EXPECT_EQ(peer.query("getConfig")["mixed-port"], p3);
  peer.expectCleanLog();
}

TEST(KernelFrames, RefusedLengthsDropTheConnectionAndTheKernelReconnects) {
  KernelPeer peer;
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());
  for (uint32_t bad : {0u, 0x02000000u}) {
    std::string header = {static_cast<char>(bad & 0xFF), static_cast<char>((bad >> 8) & 0xFF),
                          static_cast<char>((bad >> 16) & 0xFF), static_cast<char>(bad >> 24)};
    peer.sendRaw(header);
    EXPECT_TRUE(waitForEof(peer.connFd(), milliseconds(3000)))
        << "length " << bad << " was not refused";
    ASSERT_TRUE(peer.accept(milliseconds(3000))) << "no reconnection after length " << bad;
    peer.ok("getMemory");  // the new connection works
  }
  EXPECT_TRUE(peer.alive());
}

TEST(KernelFrames, ToleratesSplitFramesSkipsNonObjectsAndTakesTheLargestLength) {
  KernelPeer peer;
  peer.listen();
  peer.spawnKernel();
  ASSERT_TRUE(peer.accept());

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
  peer.expectCleanLog();
}

TEST(KernelLog, RedactionKeepsConfigurationOutOfTheLog) {
  const std::string marker = "s3cret-marker-7f1c";
  for (bool redact : {true, false}) {
    KernelPeer peer(redact ? std::vector<std::string>{"ZELVAN_REDACT_LOG=1"}
                           : std::vector<std::string>{});
    peer.listen();
    peer.spawnKernel();
    ASSERT_TRUE(peer.accept());
    std::string config = yamlConfig(freePort(), "# password: " + marker + "\n");
    peer.drive(config, {{"Proxy", "beta"}});
    peer.ok("changeProxy", json{{"group-name", "Proxy"}, {"proxy-name", "alpha"}}.dump());
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

TEST(KernelStop, ShutdownExitsAtOnceWithoutReply) {
  RunningKernel k;
  auto t0 = Clock::now();
  k.peer.sendRaw(KernelPeer::frame(R"({"id":"0","method":"shutdown","data":""})"));
  auto status = k.peer.waitExit(milliseconds(3000));
  ASSERT_TRUE(status);
  EXPECT_LT(secondsSince(t0), 1.5);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  EXPECT_FALSE(k.peer.readFrame(milliseconds(200)).has_value()) << "shutdown must not be answered";
}

TEST(KernelStop, SigtermEndsItWithExitZero) {
  RunningKernel k;
  auto t0 = Clock::now();
  ASSERT_EQ(::kill(k.peer.pid(), SIGTERM), 0);
  auto status = k.peer.waitExit(milliseconds(3000));
  ASSERT_TRUE(status) << "kernel ignored SIGTERM";
  EXPECT_LT(secondsSince(t0), 1.5);
  EXPECT_TRUE(status->exited) << "ended by signal " << status->code;
  EXPECT_EQ(status->code, 0);
}

}  // namespace
}  // namespace zelvan::test
