// The kernel actions: payloads, the action and code tests, what is recorded,
// traffic parsing and the query passthrough.
#include <gtest/gtest.h>

#include "control_peer.h"

namespace zelvo::controltest {
namespace {

// A kernel that answers each request with the next scripted reply fields.
struct ActionsTest : ::testing::Test {
  Wired wired;
  KernelProcessManager& m = *wired.manager;
  std::mutex mu;
  std::vector<Json> script;  // reply fields, consumed front first
  std::unique_ptr<KernelPeer> peer = wired.peer([this](const Json& req) -> std::vector<Json> {
    std::lock_guard<std::mutex> g(mu);
    if (script.empty()) return {};
    Json fields = script.front();
    script.erase(script.begin());
    return {replyTo(req, fields)};
  });

  void answer(std::vector<Json> replies) {
    std::lock_guard<std::mutex> g(mu);
    script = std::move(replies);
  }
  Json lastRequest() {
    auto frames = peer->received();
    return frames.empty() ? Json() : frames.back();
  }
  // The payload of the last request, decoded from its JSON text.
  Json lastPayload() { return Json::parse(lastRequest()["data"].get<std::string>()); }
};

TEST_F(ActionsTest, ChangeProxyFollowsTheActionTestAndRecordsOnlySuccess) {
  platform::LogCapture capture;
  answer({{{"code", 0}, {"data", ""}},
          {{"code", 0}, {"data", "proxy not found"}},
          Json::object(),
          {{"code", 7}, {"data", "x"}},
          {{"code", "9"}, {"data", 3}}});

  EXPECT_TRUE(m.changeProxy("G", "P1"));
  EXPECT_EQ(lastRequest()["method"], "changeProxy");
  EXPECT_EQ(lastPayload(), (Json{{"group-name", "G"}, {"proxy-name", "P1"}}));
  EXPECT_EQ(m.lastSelections(), (std::map<std::string, std::string>{{"G", "P1"}}));

  EXPECT_FALSE(m.changeProxy("G", "P2"));  // code 0 but an error text
  EXPECT_EQ(countMessage(capture, "changeProxy err: proxy not found"), 1u);
  EXPECT_EQ(m.lastSelections().at("G"), "P1");

  EXPECT_TRUE(m.changeProxy("H", "Q"));    // {} is success
  EXPECT_FALSE(m.changeProxy("G", "P3"));  // failure code
  EXPECT_EQ(countMessage(capture, "← changeProxy 失败 code=7 x"), 1u);
  EXPECT_TRUE(m.changeProxy("G", "P4"));  // code not an integer, data not a string
  EXPECT_EQ(m.lastSelections(), (std::map<std::string, std::string>{{"G", "P4"}, {"H", "Q"}}));
}

TEST_F(ActionsTest, SetModeAndSetTunSendTheirOwnPayloadsAndOnlyTheModeIsRecorded) {
  platform::LogCapture capture;
  answer({{{"code", 0}},
          {{"code", 0}, {"data", "bad mode"}},
          Json::object(),
          {{"code", 0}},
          {{"code", 0}}});

  EXPECT_TRUE(m.setMode("rule"));
  EXPECT_EQ(lastRequest()["method"], "updateConfig");
  EXPECT_EQ(lastPayload(), (Json{{"mode", "rule"}}));
  EXPECT_EQ(m.lastMode(), "rule");

  EXPECT_FALSE(m.setMode("sideways"));
  EXPECT_EQ(countMessage(capture, "updateConfig err: bad mode"), 1u);
  EXPECT_EQ(m.lastMode(), "rule");

  EXPECT_TRUE(m.updateConfig("raw text, unchanged"));
  EXPECT_EQ(lastRequest()["data"], "raw text, unchanged");

  // TUN: every member but "enable" is fixed.
  for (bool enable : {false, true}) {
    EXPECT_TRUE(m.setTun(enable));
    EXPECT_EQ(lastRequest()["method"], "updateConfig");
    EXPECT_EQ(lastPayload(), (Json{{"tun",
                                    {{"enable", enable},
                                     {"device", ""},
                                     {"stack", "gvisor"},
                                     {"dns-hijack", Json::array({"any:53"})},
                                     {"auto-route", true},
                                     {"route-address", Json::array()}}}}));
  }
  EXPECT_EQ(m.lastMode(), "rule");
}

// Only an explicit integer 0 counts; a kernel that does not answer at all
// fails the call after 3 s.
TEST_F(ActionsTest, CloseConnectionsNeedsAnExplicitZeroCodeWithinThreeSeconds) {
  answer({{{"code", 0}}, Json::object(), {{"code", 1}}, {{"code", "0"}}, {{"data", "ok"}}});
  EXPECT_TRUE(m.closeConnections());
  EXPECT_EQ(lastRequest()["method"], "closeConnections");
  EXPECT_EQ(lastRequest()["data"], "");
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(m.closeConnections()) << "reply " << i + 1;

  const auto t0 = Clock::now();
  EXPECT_FALSE(m.closeConnections());  // the script is used up: no reply comes
  const double took = secondsSince(t0);
  EXPECT_GE(took, 2.9);
  EXPECT_LT(took, 4.5);
}

TEST_F(ActionsTest, TrafficRepliesAreParsed) {
  answer({{{"data", R"({"up":10,"down":20})"}},
          {{"code", 3}, {"data", R"({"down":20})"}},
          {{"data", {{"up", 10}, {"down", 20}}}},
          {{"data", R"({"up":12.9,"down":"7"})"}},
          {{"data", "not json"}},
          {{"data", "[1,2]"}}});
  EXPECT_EQ(m.trafficCall("getTraffic"), (std::pair<int64_t, int64_t>{10, 20}));
  EXPECT_EQ(lastRequest()["method"], "getTraffic");
  EXPECT_EQ(lastRequest()["data"], false);
  EXPECT_EQ(m.trafficCall("getTotalTraffic"), (std::pair<int64_t, int64_t>{0, 20}));
  EXPECT_EQ(lastRequest()["method"], "getTotalTraffic");
  EXPECT_EQ(m.trafficCall("getTraffic"), (std::pair<int64_t, int64_t>{0, 0}));
  EXPECT_EQ(m.trafficCall("getTraffic"), (std::pair<int64_t, int64_t>{12, 0}));
  EXPECT_EQ(m.trafficCall("getTraffic"), (std::pair<int64_t, int64_t>{0, 0}));
  EXPECT_EQ(m.trafficCall("getTraffic"), (std::pair<int64_t, int64_t>{0, 0}));
}

TEST_F(ActionsTest, QueryAsksOnlyARunningKernelAndPassesTextThrough) {
  for (auto s : {KernelProcessState::stopped(), KernelProcessState::starting(),
                 KernelProcessState::stopping(), KernelProcessState::error("x")}) {
    m.setStateForTesting(s);
    EXPECT_EQ(m.query("getProxies", "", 5), std::nullopt) << s.describe();
  }
  EXPECT_TRUE(peer->received().empty());

  m.setStateForTesting(KernelProcessState::running());
  answer({{{"code", 0}, {"data", "{\"proxies\": \"香港\"}\n"}},
          {{"code", 9}, {"data", {{"b", 1}, {"a", Json::array({1, "x"})}}}},
          {{"data", Json::array({1, 2, Json{{"k", "v"}}})}},
          {{"data", 3}},
          {{"data", nullptr}},
          {{"code", 0}}});
  EXPECT_EQ(m.query("getProxies", "payload \"as is\"", 5), "{\"proxies\": \"香港\"}\n");
  EXPECT_EQ(lastRequest()["method"], "getProxies");
  EXPECT_EQ(lastRequest()["data"], "payload \"as is\"");
  EXPECT_EQ(lastRequest()["id"], "1");
  EXPECT_EQ(m.query("getConfig", "", 5), R"({"a":[1,"x"],"b":1})");
  EXPECT_EQ(m.query("getConnections", "", 5), R"([1,2,{"k":"v"}])");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(m.query("getMemory", "", 5), std::nullopt) << i;
}

}  // namespace
}  // namespace zelvo::controltest
