// Request/reply correlation, the reader loop and pushed delay results.
#include <gtest/gtest.h>

#include <future>

#include "control_peer.h"

namespace zelvo::controltest {
namespace {

// The old reader may still be winding down when the new connection starts
// its reader; the new connection must get a reader either way.
TEST(Correlation, IdsKeepRisingAcrossConnectionsAndANewOneGetsItsReaderAtOnce) {
  Wired wired;
  auto& m = *wired.manager;
  platform::LogCapture capture;
  std::vector<std::string> ids;
  auto oldPeer = wired.peer(echo);
  EXPECT_EQ(m.msgId(), 0);
  ASSERT_TRUE(m.sendActionAwait("a", "x", 5));
  ASSERT_TRUE(m.sendActionAwait("b", "y", 5));
  for (const Json& f : oldPeer->received()) ids.push_back(f["id"]);
  m.closeControlSocket();
  KernelPeer peer(attachConnection(m), echo);
  ASSERT_TRUE(waitForMessage(capture, "reader loop 结束", 5));
  auto reply = m.sendActionAwait("c", "z", 5);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["data"], "z");
  for (const Json& f : peer.received()) ids.push_back(f["id"]);
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(m.msgId(), 3);
}

TEST(Correlation, WithoutAUsableConnectionEveryCallFailsAtOnceAndQuietly) {
  for (bool peerClosed : {false, true}) {
    SCOPED_TRACE(peerClosed ? "write fails" : "no connection");
    Wired wired(/*startReader=*/false);
    auto& m = *wired.manager;
    ::close(wired.peerFd);
    wired.peerFd = -1;
    if (!peerClosed) m.closeControlSocket();
    m.setStateForTesting(KernelProcessState::running());
    platform::LogCapture capture;
    const auto t0 = Clock::now();
    EXPECT_FALSE(m.sendActionAwait("getTraffic", false, 5));
    EXPECT_FALSE(m.changeProxy("G", "P"));
    EXPECT_FALSE(m.closeConnections());
    EXPECT_FALSE(m.setMode("rule"));
    EXPECT_FALSE(m.setTun(true));
    EXPECT_EQ(m.trafficCall("getTraffic"), (std::pair<int64_t, int64_t>{0, 0}));
    EXPECT_EQ(m.query("getProxies", "", 5), std::nullopt);
    EXPECT_LT(secondsSince(t0), 0.5);
    if (!peerClosed) {
      EXPECT_EQ(m.msgId(), 0);
    }
    EXPECT_TRUE(kernelMessages(capture).empty());
    EXPECT_TRUE(m.lastSelections().empty());
    EXPECT_FALSE(m.lastMode());
  }
}

// Every reply reaches its caller whatever its code; failures are logged with
// their data. A reply after the time-out is dropped silently.
TEST(Correlation, RepliesAreReturnedWhateverTheirCodeAndLateOnesAreDropped) {
  Wired wired;
  std::mutex mu;
  std::optional<Json> held;  // the "slow" request, answered only later
  auto peer = wired.peer([&](const Json& req) -> std::vector<Json> {
    const std::string m = req["method"];
    if (m == "seven") return {replyTo(req, {{"code", 7}, {"data", "no such group"}})};
    if (m == "object") return {replyTo(req, {{"code", 3}, {"data", {{"a", 1}}}})};
    if (m == "nodata") return {replyTo(req, {{"code", -4}})};
    if (m == "stringcode") return {replyTo(req, {{"code", "7"}, {"data", "x"}})};
    if (m == "slow") {
      std::lock_guard<std::mutex> g(mu);
      held = req;
      return {};
    }
    return echo(req);
  });
  platform::LogCapture capture;
  auto& m = *wired.manager;

  auto seven = m.sendActionAwait("seven", "", 5);
  ASSERT_TRUE(seven);
  EXPECT_EQ((*seven)["code"], 7);
  EXPECT_EQ((*seven)["data"], "no such group");
  for (const char* method : {"object", "nodata", "stringcode"})
    ASSERT_TRUE(m.sendActionAwait(method, "", 5)) << method;

  const auto t0 = Clock::now();
  EXPECT_FALSE(m.sendActionAwait("slow", "s", 0.3));
  const double waited = secondsSince(t0);
  EXPECT_GE(waited, 0.28);
  EXPECT_LT(waited, 1.5);
  {
    std::lock_guard<std::mutex> g(mu);
    ASSERT_TRUE(held);
    peer->send(replyTo(*held, {{"code", 0}, {"data", "too late"}}));
  }
  // The late reply precedes this one on the stream, so once this answer is
  // back the reader has already dealt with the late one.
  auto next = m.sendActionAwait("next", "n", 5);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)["data"], "n");

  EXPECT_EQ(kernelMessages(capture),
            (std::vector<std::string>{"→ seven", "← seven 失败 code=7 no such group", "→ object",
                                      "← object 失败 code=3 {\"a\":1}", "→ nodata",
                                      "← nodata 失败 code=-4 ", "→ stringcode", "→ slow",
                                      "← slow 超时", "→ next"}));
}

// A hang-up, or a frame that cannot be trusted, ends the reader; waiters
// must not sit out their 20 s time-out.
TEST(Correlation, LosingTheStreamReleasesEveryWaiterAtOnce) {
  for (bool hangUp : {true, false}) {
    SCOPED_TRACE(hangUp ? "peer hangs up" : "a frame whose body is not an object");
    Wired wired;
    auto peer = wired.peer(nullptr);  // never answers
    platform::LogCapture capture;
    auto& m = *wired.manager;
    const auto t0 = Clock::now();
    std::vector<std::future<std::optional<Json>>> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.push_back(std::async(std::launch::async, [&m, i] {
        return m.sendActionAwait("wait" + std::to_string(i), "", 20);
      }));
    }
    ASSERT_TRUE(peer->waitForFrames(3, 10));
    if (hangUp) {
      peer->hangUp();
    } else {
      peer->send(Json::array({1, 2}));
    }
    for (auto& w : waiters) {
      ASSERT_EQ(w.wait_for(std::chrono::seconds(10)), std::future_status::ready);
      EXPECT_FALSE(w.get());
    }
    EXPECT_LT(secondsSince(t0), 5.0);
    EXPECT_TRUE(waitForMessage(capture, "reader loop 结束", 5));
    EXPECT_EQ(countMessage(capture, "reader loop 结束"), 1u);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(countMessage(capture, "← wait" + std::to_string(i) + " 超时"), 0u);
  }
}

TEST(Correlation, StartingTheReaderTwiceForOneConnectionRunsOneReader) {
  Wired wired;  // started once already
  wired.manager->startReaderLoop();
  auto peer = wired.peer(echo);
  platform::LogCapture capture;
  // Two readers on one socket would split the replies between them and lose
  // some; with one, every reply arrives.
  for (int i = 0; i < 50; ++i) {
    auto r = wired.manager->sendActionAwait("ping", std::to_string(i), 5);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)["data"], std::to_string(i));
  }
  peer->hangUp();
  EXPECT_TRUE(waitForMessage(capture, "reader loop 结束", 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(countMessage(capture, "reader loop 结束"), 1u);
}

TEST(Correlation, RepliesOfEverySizeArriveWhenSentBackToBack) {
  // Each answer is a pushed frame and the reply written in one go, with sizes
  // around the reader's read-ahead so that frames straddle its buffer.
  Wired wired;
  const int kernelFd = wired.peerFd;
  std::thread kernel([kernelFd] {
    for (;;) {
      std::optional<std::string> body = readRawFrame(kernelFd);
      if (!body) return;
      const Json req = Json::parse(*body);
      const size_t size = std::stoul(req["data"].get<std::string>());
      const std::string push = delayPush(req["data"], 1).dump();
      const std::string reply = replyTo(req, {{"data", std::string(size, 'r')}}).dump();
      const std::string both =
          lengthHeader(push.size()) + push + lengthHeader(reply.size()) + reply;
      if (!writeBytes(kernelFd, both.data(), both.size())) return;
    }
  });
  for (size_t size : {size_t{0}, size_t{10}, size_t{65400}, size_t{65536}, size_t{70000},
                      size_t{1} << 20, size_t{3}, size_t{131072}}) {
    auto reply = wired.manager->sendActionAwait("sized", std::to_string(size), 10);
    ASSERT_TRUE(reply) << size;
    EXPECT_EQ((*reply)["data"].get_ref<const std::string&>().size(), size);
    EXPECT_EQ(wired.manager->pushedDelays().count(std::to_string(size)), 1u);
  }
  ::shutdown(kernelFd, SHUT_RDWR);
  kernel.join();
}

// Frames without a string id are pushes, whatever else they carry; the
// latest value for a name counts. (Pushes of the wrong shape are dropped
// against the daemon in tests/fault/control.) A request sent after them is
// answered after them on the same stream, which tells the test they were
// handled.
TEST(PushedDelays, FramesWithoutAStringIdAreCollectedTruncatedAndReplaced) {
  Wired wired;
  auto peer = wired.peer(echo);
  Json emptyId = delayPush("DE-06", -3.9), numericId = delayPush("FR-07", 5.5);
  emptyId["id"] = "";
  numericId["id"] = 5;
  for (const Json& frame : {delayPush("HK-01", 123.7), emptyId, numericId,
                            Json{{"method", "other"}, {"data", delayPush("SG-05", 1)["data"]}}})
    peer->send(frame);
  ASSERT_TRUE(wired.manager->sendActionAwait("sync", "", 5));
  EXPECT_EQ(wired.manager->pushedDelays(),
            (std::map<std::string, int64_t>{{"HK-01", 123}, {"DE-06", -3}, {"FR-07", 5}}));

  peer->send(delayPush("HK-01", 99));
  ASSERT_TRUE(wired.manager->sendActionAwait("sync", "", 5));
  EXPECT_EQ(wired.manager->pushedDelays().at("HK-01"), 99);
}

}  // namespace
}  // namespace zelvo::controltest
