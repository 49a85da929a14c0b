// What the client sees of the kernel: the status record across the kernel's
// states, outbound selection with its GLOBAL rule, the query whitelist, the
// pushed delay results, and the ports read from the configuration.
#include "support/supervision_support.h"

namespace zelvo::testing::supervision {
namespace {

using StatusTest = SupervisionTest;
using ControlTest = SupervisionTest;
using PortParsingTest = SupervisionTest;

TEST_F(StatusTest, RecordFollowsTheKernelThroughItsStates) {
  startDaemon();

  // Stopped: the fixed stopped record, and the kernel is not asked.
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
  auto traffic = client_->getTrafficStats();
  ASSERT_TRUE(traffic.ok());
  EXPECT_EQ(*traffic, TrafficStats{});

  // Running: cached ports, mode always "rule", counters from the kernel.
  const uint16_t port = freePort();
  startKernel(yamlConfig(port));
  EchoServer echo;
  {
    const int tunnel = socks5Connect(port, echo.port());
    ASSERT_GE(tunnel, 0);
    EchoStream stream(tunnel);
    ASSERT_TRUE(stream.advances(5, 10.0)) << stream.failure();
  }
  auto mode = client_->setRouteMode("global");
  ASSERT_TRUE(mode.ok());
  EXPECT_TRUE(*mode);
  s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  EXPECT_EQ(s->httpPort, port);
  EXPECT_EQ(s->socksPort, port);
  EXPECT_EQ(s->mode, "rule");
  EXPECT_FALSE(s->errorMessage.has_value());
  EXPECT_GE(s->uplink, 5 * 256);
  EXPECT_GE(s->downlink, 5 * 256);
  const Json total = queryJson("getTotalTraffic");
  ASSERT_TRUE(total.is_object()) << total.dump();
  EXPECT_LE(s->uplink, total["up"].get<int64_t>());
  EXPECT_LE(s->downlink, total["down"].get<int64_t>());
  traffic = client_->getTrafficStats();
  ASSERT_TRUE(traffic.ok());
  EXPECT_GE(traffic->totalUp, s->uplink);
  EXPECT_GE(traffic->totalDown, s->downlink);

  // Stopped again.
  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(*stopped);
  s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());

  // A failed start leaves the error state, reported as stopped, with no text.
  root_.removeKernel();
  auto failed = client_->startProxy(yamlConfig(freePort()));
  ASSERT_TRUE(failed.ok());
  const std::string missing = "kernel binary not found at: " + root_.kernelPath();
  EXPECT_EQ(*failed, (OperationResult{false, missing}));
  EXPECT_EQ(daemon_->countLog("Failed to start proxy: " + missing), 1u);
  s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
  traffic = client_->getTrafficStats();
  ASSERT_TRUE(traffic.ok());
  EXPECT_EQ(*traffic, TrafficStats{});
  // Nothing to query in the error state either, and nothing to reload.
  EXPECT_TRUE(queryJson("getConfig").is_null());
  EXPECT_TRUE(queryJson("__pushedDelays").is_null());
  auto reloaded = client_->reloadProxy(yamlConfig(port));
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(*reloaded, (OperationResult{false, std::string("kernel not running")}));
  EXPECT_EQ(daemon_->countLog("Failed to reload proxy: kernel not running"), 1u);
}

// "GLOBAL" is compared exactly: a selection in it is sent once, a selection
// in any other group is mirrored into GLOBAL.
TEST_F(ControlTest, SelectionIsMirroredIntoGlobalExceptForGlobalItself) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const auto sent = [&] { return daemon_->countLog("→ changeProxy"); };
  const auto closes = [&] { return daemon_->countLog("→ closeConnections"); };

  size_t before = sent(), closesBefore = closes();
  auto r = client_->selectOutbound("GLOBAL", "node-a");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(*r);
  EXPECT_EQ(sent(), before + 1);
  EXPECT_EQ(closes(), closesBefore + 1);
  EXPECT_EQ(daemon_->countLog("selectOutbound called: group=GLOBAL, outbound=node-a"), 1u);

  before = sent(), closesBefore = closes();
  r = client_->selectOutbound("Proxy", "node-b");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(*r);
  EXPECT_EQ(sent(), before + 2);
  EXPECT_EQ(closes(), closesBefore + 1);
  const Json proxies = queryJson("getProxies")["proxies"];
  EXPECT_EQ(proxies["Proxy"]["now"], "node-b");
  EXPECT_EQ(proxies["GLOBAL"]["now"], "node-b");

  // "global" is another group (one the kernel does not know): the selection
  // fails, GLOBAL is still tried, and no connection is closed.
  before = sent(), closesBefore = closes();
  r = client_->selectOutbound("global", "node-a");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  EXPECT_EQ(sent(), before + 2);
  EXPECT_EQ(closes(), closesBefore);
  EXPECT_EQ(queryJson("getProxies")["proxies"]["GLOBAL"]["now"], "node-a");

  // An unknown mode is forwarded unchanged and refused by the kernel.
  r = client_->setRouteMode("sideways");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  EXPECT_EQ(daemon_->countLog("setRouteMode called: sideways"), 1u);
  EXPECT_EQ(queryJson("getConfig")["mode"], "rule");
  r = client_->updateTun(true);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(*r);
  EXPECT_EQ(daemon_->countLog("updateTun called: enable=true"), 1u);
  const Json tun = queryJson("getConfig")["tun"];
  EXPECT_EQ(tun["enable"], true);
  EXPECT_EQ(tun["stack"], "gvisor");
  EXPECT_EQ(tun["dns-hijack"], Json::array({"any:53"}));

  // With no kernel, every control request answers false at once.
  auto stopped = client_->stopProxy();
  ASSERT_TRUE(stopped.ok());
  const auto asked = Clock::now();
  r = client_->selectOutbound("Proxy", "node-a");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  r = client_->setRouteMode("direct");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  r = client_->updateTun(false);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  EXPECT_LT(secondsSince(asked), 2.0);
}

TEST_F(ControlTest, QueriesOutsideTheWhitelistNeverReachTheKernel) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const size_t kernelLines = splitLines(readFile(kernelLogPath(root_))).size();

  for (const std::string& method :
       std::vector<std::string>{"shutdown", "setupConfig", "changeProxy", "getproxies", "GetConfig",
                                "initCore", "", "__pushedDelays "}) {
    auto r = client_->kernelQuery(method, "{}");
    ASSERT_TRUE(r.ok()) << method;
    EXPECT_FALSE(r->has_value()) << method;
    if (!method.empty()) {
      EXPECT_EQ(daemon_->countLog("kernelQuery 拒绝非白名单方法: " + method), 1u) << method;
    }
  }
  EXPECT_EQ(daemon_->countLog("kernelQuery 拒绝非白名单方法: "), 8u);
  EXPECT_EQ(daemon_->countLog("→ shutdown"), 0u);
  EXPECT_EQ(daemon_->countLog("→ setupConfig"), 1u);  // the start-up one
  EXPECT_EQ(daemon_->countLog("→ changeProxy"), 0u);
  EXPECT_EQ(daemon_->countLog("→ getproxies"), 0u);
  EXPECT_EQ(splitLines(readFile(kernelLogPath(root_))).size(), kernelLines);
  EXPECT_EQ(kernelReceived(root_, "shutdown"), 0u);

  // The kernel still runs and answers a whitelisted query with its data.
  auto answer = client_->kernelQuery("getProxies", "");
  ASSERT_TRUE(answer.ok());
  ASSERT_TRUE(answer->has_value());
  EXPECT_TRUE(Json::parse(**answer)["proxies"].contains("node-b"));
  EXPECT_EQ(daemon_->countLog("→ getProxies"), 1u);
}

TEST_F(ControlTest, PushedDelaysAreCollectedFromADelayTest) {
  startDaemon();
  startKernel(yamlConfig(freePort()));
  auto r = client_->kernelQuery("__pushedDelays", "");
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ(**r, "{}");

  // With no address, the reference kernel measures every outbound against its
  // own listener; it pushes one result per outbound, then answers.
  const Json answer = queryJson("asyncTestDelay", "");
  ASSERT_TRUE(answer.is_object()) << answer.dump();
  r = client_->kernelQuery("__pushedDelays", "");
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r->has_value());
  const Json delays = Json::parse(**r, nullptr, false);
  ASSERT_TRUE(delays.is_object()) << **r;
  for (const char* name : {"node-a", "node-b", "DIRECT"}) {
    ASSERT_TRUE(delays.contains(name)) << **r;
    EXPECT_TRUE(delays[name].is_number_integer()) << **r;
    EXPECT_GE(delays[name].get<int64_t>(), 0);
  }
  EXPECT_EQ(daemon_->countLog("→ __pushedDelays"), 0u);  // answered by the daemon itself

  // A new start forgets them.
  startKernel(yamlConfig(freePort()));
  r = client_->kernelQuery("__pushedDelays", "");
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ(**r, "{}");
}

// The status record's ports follow every configuration the client sends, in
// either of its two forms; the kernel keeps running through the reloads.
TEST_F(PortParsingTest, PortsFollowYamlAndJsonConfigurations) {
  startDaemon();
  using Ports = std::pair<int64_t, int64_t>;
  const auto ports = [&] {
    auto s = status();
    return s ? Ports{s->httpPort, s->socksPort} : Ports{-1, -1};
  };
  const auto reload = [&](const std::string& config) {
    auto r = client_->reloadProxy(config);
    return r.ok() && r->success;
  };
  const auto json = [](std::initializer_list<std::pair<const char*, uint16_t>> inbounds) {
    Json list = Json::array();
    for (const auto& [type, port] : inbounds)
      list.push_back({{"type", type}, {"listen_port", port}});
    return Json{{"inbounds", list}}.dump();
  };

  // An indented key counts; the first one in the text decides.
  const uint16_t p = freePort();
  const std::string yaml =
      "mode: rule\nlisteners:\n    mixed-port: " + std::to_string(p) + "\nmixed-port: 1\n";
  // The logged length counts characters as the user sees them: a flag, an
  // emoji family joined by ZWJ, a letter with a combining accent and CR LF
  // are one each.
  startKernel(yaml +
              "# \U0001F1ED\U0001F1F0 香港 \U0001F468\u200D\U0001F469\u200D\U0001F467 e\u0301\r\n");
  EXPECT_EQ(daemon_->countLog("startProxy called with config length: " +
                              std::to_string(yaml.size() + 11)),
            1u);
  EXPECT_EQ(daemon_->countLog("Parsed mixed-port: " + std::to_string(p)), 1u);
  EXPECT_EQ(ports(), (Ports{p, p}));

  // A lone "mixed" inbound sets only the HTTP port.
  const uint16_t a = freePort();
  ASSERT_TRUE(reload(json({{"mixed", a}})));
  EXPECT_EQ(
      daemon_->countLog("Parsed ports: http=" + std::to_string(a) + ", socks=" + std::to_string(p)),
      1u);
  EXPECT_EQ(ports(), (Ports{a, p}));

  // "socks" before "http": each sets its own port, whatever the order.
  const uint16_t b = freePort(), c = freePort();
  ASSERT_TRUE(reload(json({{"socks", c}, {"http", b}})));
  EXPECT_EQ(ports(), (Ports{b, c}));

  // Two "http" inbounds: the later wins. Unknown types are ignored.
  const uint16_t d = freePort(), e = freePort();
  ASSERT_TRUE(reload(json({{"http", d}, {"tun", 9}, {"http", e}})));
  EXPECT_EQ(
      daemon_->countLog("Parsed ports: http=" + std::to_string(e) + ", socks=" + std::to_string(c)),
      1u);
  EXPECT_EQ(ports(), (Ports{e, c}));

  // An empty list still logs the ports it leaves as they were.
  const size_t parsedLines = daemon_->countLog("Parsed ");
  ASSERT_TRUE(reload(R"({"inbounds": []})"));
  EXPECT_EQ(
      daemon_->countLog("Parsed ports: http=" + std::to_string(e) + ", socks=" + std::to_string(c)),
      2u);
  EXPECT_EQ(daemon_->countLog("Parsed "), parsedLines + 1);

  // Neither form: nothing parsed, nothing logged, nothing changed. Nor for an
  // "inbounds" that is not a list of objects, or a mixed-port too large.
  for (const std::string& config :
       {std::string("mode: global\n"),
        std::string(R"({"inbounds": [{"type": "http", "listen_port": 1}, 5]})"),
        std::string(R"({"inbounds": {"type": "http"}})"), std::string("[1, 2]")}) {
    ASSERT_TRUE(reload(config)) << config;
  }
  EXPECT_EQ(daemon_->countLog("Parsed "), parsedLines + 1);
  EXPECT_EQ(ports(), (Ports{e, c}));

  // A mixed-port beyond 64 bits falls through to the JSON form. (The key
  // stands at the start of a line: LINE SEPARATOR ends one, too.)
  const uint16_t f = freePort();
  ASSERT_TRUE(reload(R"({"inbounds": [{"type": "mixed", "listen_port": )" + std::to_string(f) +
                     "}], \"x\": \"\u2028 mixed-port: 99999999999999999999\"}"));
  EXPECT_EQ(daemon_->countLog("Parsed ports: http=" + std::to_string(f)), 1u);
  EXPECT_EQ(daemon_->countLog("Parsed mixed-port: 99999999999999999999"), 0u);
  EXPECT_EQ(ports(), (Ports{f, c}));

  // Ports change even when the reload itself fails for want of a kernel.
  ASSERT_TRUE(client_->stopProxy().ok());
  const uint16_t g = freePort();
  auto failed = client_->reloadProxy("mixed-port: " + std::to_string(g) + "\n");
  ASSERT_TRUE(failed.ok());
  EXPECT_FALSE(failed->success);
  EXPECT_EQ(daemon_->countLog("Parsed mixed-port: " + std::to_string(g)), 1u);
  startKernel("mode: rule\n# no ports here\n");  // the cached ports stay
  EXPECT_EQ(ports(), (Ports{g, g}));
}

}  // namespace
}  // namespace zelvo::testing::supervision
