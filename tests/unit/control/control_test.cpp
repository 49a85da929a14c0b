// The control channel seen from one caller at a time.
#include <gtest/gtest.h>
#include <sys/un.h>

#include <deque>
#include <fstream>
#include <future>

#include "control_peer.h"
#include "platform/log.h"

namespace zelvo::controltest {
namespace {

// Replies follow a push in one write, sized so that frames straddle the 64 KiB
// read-ahead; a late reply is dropped, not handed to the next caller.
// Requests as large as replies: one that cannot go at once is never cut short.
TEST(Correlation, RequestsAndRepliesOfAnySizeOrCodeReachTheirCallerAndLateOnesAreDropped) {
  std::mutex mu;
  std::optional<Json> held;  // the "slow" request, answered only later
  Wired wired([&](const Json& req) -> std::vector<Json> {
    std::lock_guard<std::mutex> g(mu);
    if (req["method"] == "slow") {
      held = req;
      return {};
    }
    if (req["method"] == "pause") platform::sleepFor(platform::Seconds(2));
    const std::string data = req["data"];
    const std::string size = data.substr(0, data.find('/'));
    return {delayPush(size, 1), replyTo(req, {{"code", size == "70000" ? 7 : 0},
                                              {"data", std::string(std::stoul(size), 'r')}})};
  });
  auto& m = *wired.manager;
  platform::LogCapture log;  // a failure's text is logged cut
  for (size_t size : {0, 10, 65400, 65536, 70000, 1 << 20, 3, 131072}) {
    auto reply =
        m.sendActionAwait("sized", std::to_string(size) + "/" + std::string(size, 'q'), 10);
    ASSERT_TRUE(reply) << size;
    EXPECT_EQ((*reply)["data"].get_ref<const std::string&>().size(), size);
    EXPECT_EQ((*reply)["code"], size == 70000 ? 7 : 0);
    EXPECT_EQ(m.pushedDelays().count(std::to_string(size)), 1u);
  }
  EXPECT_EQ(log.count("← sized 失败 code=7 " + std::string(256, 'r') + "…"), 1u);
  const auto t0 = Clock::now();
  EXPECT_FALSE(m.sendActionAwait("slow", "s", 0.3));
  EXPECT_GE(secondsSince(t0), 0.28);
  EXPECT_LT(secondsSince(t0), 1.5);
  {
    std::lock_guard<std::mutex> g(mu);
    ASSERT_TRUE(held);
    wired.peer->send({replyTo(*held, {{"code", 0}, {"data", "too late"}})});
  }
  EXPECT_EQ(m.sendActionAwait("next", "5", 5).value_or(Json())["data"], "rrrrr");
  // A kernel that stops reading while it serves one request (sent by no reader, so the next
  // caller reads), for longer than a long frame's time-out, still gets that frame whole.
  const size_t pausedAt = wired.peer->received().size() + 1;
  auto paused = std::make_shared<std::promise<bool>>();  // may answer after a failed ASSERT
  m.sendActionThen("pause", "0/", 5, [paused](auto r) { paused->set_value(r.has_value()); });
  ASSERT_TRUE(wired.peer->waitForFrames(pausedAt));
  m.sendActionAwait("big", "5/" + std::string(1 << 20, 'q'), 1);  // its reply in time or not
  EXPECT_TRUE(paused->get_future().get());
  EXPECT_EQ(m.sendActionAwait("next", "5", 5).value_or(Json())["data"], "rrrrr");
  // Bodies of 32 MiB or more, or none, are refused; one byte less is not.
  const unsigned char limit[4] = {0, 0, 0, 2}, none[4] = {}, most[4] = {0xff, 0xff, 0xff, 1};
  EXPECT_EQ(std::vector({control::decodeLength(limit), control::decodeLength(none),
                         control::decodeLength(most)}),
            (std::vector<std::optional<uint32_t>>{std::nullopt, std::nullopt, 0x1FFFFFF}));
}

// Frames without a string id are pushes; only well-formed delays count,
// truncated (saturating), the latest winning. A new connection gets a reader
// even while the old one winds down, and ids keep rising.
TEST(Correlation, PushesAreCollectedAndANewConnectionGetsItsReaderWithRisingIds) {
  Wired wired(echo);
  auto& m = *wired.manager;
  Json emptyId = delayPush("DE-06", -3.9), numericId = delayPush("FR-07", 5.5);
  Json notDelay = delayPush("SG-05", 1), otherMethod = delayPush("JP-02", 1);
  emptyId["id"] = "";
  numericId["id"] = 5;
  notDelay["data"]["type"] = "log";
  otherMethod["method"] = "other";
  wired.peer->send({delayPush("HK-01", 123.7), emptyId, numericId, notDelay, otherMethod,
                    delayPush("", 1), delayPush("US-03", "7"), delayPush("HK-01", 99.9),
                    delayPush("XL", -1e300)});
  // Answered after the pushes on the same stream: they have been handled.
  ASSERT_TRUE(m.sendActionAwait("a", "x", 5));
  EXPECT_EQ(m.pushedDelays(), (std::map<std::string, int64_t>{
                                  {"HK-01", 99}, {"DE-06", -3}, {"FR-07", 5}, {"XL", INT64_MIN}}));
  ASSERT_TRUE(m.sendActionAwait("b", "y", 5));
  platform::LogCapture log;
  // Nested deeper than any reply, a frame ends its connection as a broken
  // one does, before anything walks it.
  Json deep = Json::array();
  for (int i = 0; i < 600; ++i) deep = Json::array({deep});
  wired.peer->send({{{"method", "message"}, {"data", deep}}});
  KernelPeer peer(attachConnection(m), echo);
  // A request sent before the old reader has gone is released with it.
  ASSERT_TRUE(unit::eventually([&] { return log.count("reader loop 结束") == 1; }));
  EXPECT_EQ(m.sendActionAwait("c", "z", 5).value_or(Json())["data"], "z") << "no reader";
  std::vector<Json> ids;
  for (auto* p : {wired.peer.get(), &peer}) {
    for (const Json& f : p->received()) ids.push_back(f["id"]);
  }
  EXPECT_EQ(ids, (std::vector<Json>{"1", "2", "3"}));
}

// Each step waits for its reply or its own 5 s time-out; failure codes do not
// stop the sequence; the configuration is escaped twice on its way.
TEST(DriveSequence, InitSetupStartInOrderEachStepWaitingForItsReplyOrTimeOut) {
  useSandboxRoot();
  auto m = std::make_shared<KernelProcessManager>();
  // Malformed bytes (a stray byte, an overlong, a surrogate, past U+10FFFF, a
  // cut-short sequence) become one U+FFFD each; the rest arrives unchanged.
  const std::string text = "q: \"x\" 'y' C:\\d\r\n代理组: 香港 🇭🇰\t\\u0041\x01\x7f|",
                    r = "\xEF\xBF\xBD";
  const std::string config = text + "\xff|\xC0\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xE4\xB8";
  const std::string sent =
      text + r + "|" + r + r + "|" + r + r + r + "|" + r + r + r + r + "|" + r + r;
  m->setCurrentConfigForTesting(config);
  const std::string path = platform::joinPath(m->homeDir(), "control.sock");
  m->setupControlSocket(path);
  m->setKernelPeerPidForTesting(::getpid());  // this process plays the kernel
  auto drive = std::async(std::launch::async, [weak = std::weak_ptr(m)] {
    if (auto self = weak.lock()) self->acceptAndDrive();
  });
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{AF_UNIX, {}};
  path.copy(a.sun_path, sizeof a.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  KernelPeer kernel(fd, [](const Json& req) -> std::vector<Json> {
    if (req["method"] == "setupConfig") return {};  // silent: the step times out
    return {replyTo(req, {{"code", req["method"] == "initCore" ? 5 : 0}})};
  });
  ASSERT_TRUE(kernel.waitForFrames(2));
  const auto t0 = Clock::now();  // the setupConfig step's wait starts about now
  ASSERT_TRUE(kernel.waitForFrames(3));
  EXPECT_GE(secondsSince(t0), 4.5);
  EXPECT_LT(secondsSince(t0), 6.5);
  EXPECT_EQ(drive.wait_for(5s), std::future_status::ready);

  const std::vector<Json> frames = kernel.received();
  ASSERT_EQ(frames.size(), 3u);
  const char* methods[] = {"initCore", "setupConfig", "startListener"};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i]["method"], methods[i]);
  const Json setup = Json::parse(frames[1]["data"].get<std::string>());
  EXPECT_EQ(Json::parse(frames[0]["data"].get<std::string>()),
            (Json{{"home-dir", m->homeDir()}, {"version", 30}}));
  EXPECT_EQ(setup["config"], sent);
  EXPECT_EQ(setup["selected-map"], Json::object());
  const std::string url = setup.value("test-url", "");
  EXPECT_TRUE(url.starts_with("https://") && url.ends_with("/generate_204")) << url;
  closeAndRelease(m);
}

// An accept still waiting on a listener that was replaced under the same
// descriptor number: what it accepts belongs to no supervised kernel, so it is
// closed, never taken for the control connection.
TEST(DriveSequence, AConnectionOnAReplacedListenerIsClosedNotDriven) {
  useSandboxRoot();
  platform::LogCapture log;
  auto m = std::make_shared<KernelProcessManager>();
  const std::string path = platform::joinPath(m->homeDir(), "control.sock");
  m->setupControlSocket(path);
  auto drive = std::async(std::launch::async, [weak = std::weak_ptr(m)] {
    if (auto self = weak.lock()) self->acceptAndDrive();
  });
  auto dial = [&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  const int refused = dial();  // no kernel pid yet: once refused, the accept is on its copy
  ASSERT_TRUE(unit::eventually([&] { return log.count("refused peer") == 1; }));
  const int other = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::dup2(other, m->listenFd()), m->listenFd());
  ::close(other);
  m->setKernelPeerPidForTesting(::getpid());
  const int late = dial();
  EXPECT_EQ(drive.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(m->controlFd(), -1);
  char byte = 0;
  EXPECT_EQ(::read(late, &byte, 1), 0) << "the late connection was kept open";
  EXPECT_EQ(log.count("accept failed"), 1u);
  ::close(refused);
  ::close(late);
  closeAndRelease(m);
}

// A re-adoption whose accept fails takes its listener with it, so nothing is
// left listening and the next start opens its own.
TEST(ReAdoption, AFailedAcceptClosesItsListener) {
  useSandboxRoot();
  platform::LogCapture log;
  const std::filesystem::path pgrep = platform::hostPath("/usr/bin/pgrep");  // finds us
  std::filesystem::create_directories(pgrep.parent_path());
  std::ofstream(pgrep) << "#!/bin/sh\necho " << ::getpid() << "\n";
  std::filesystem::permissions(pgrep, std::filesystem::perms::owner_all);
  auto m = std::make_shared<KernelProcessManager>();
  ASSERT_TRUE(m->reAdoptRunningKernel());
  ::shutdown(m->listenFd(), SHUT_RD);  // the waiting accept fails, as when out of descriptors
  ASSERT_TRUE(unit::eventually([&] { return !m->state().isRunning(); }));
  EXPECT_EQ(log.count("re-adopt: accept 失败"), 1u);
  EXPECT_EQ(m->listenFd(), -1);
  EXPECT_FALSE(std::filesystem::exists(platform::joinPath(m->homeDir(), "control.sock")));
  std::filesystem::remove(pgrep);
  closeAndRelease(m);
}

TEST(KernelActions, RepliesAreReadByEachActionsOwnTest) {
  platform::LogCapture log;  // a refusal's text is logged
  std::mutex mu;
  std::deque<Json> script;  // the reply fields for each request in turn
  Wired wired([&](const Json& req) -> std::vector<Json> {
    std::lock_guard<std::mutex> g(mu);
    Json fields = std::move(script.front());
    script.pop_front();
    return {replyTo(req, std::move(fields))};
  });
  auto& m = *wired.manager;
  std::string accepted;
  // Only selections the kernel accepted are recorded (and later replayed).
  auto change = [&](int i) {
    const bool ok = m.changeProxy("G", "P" + std::to_string(i));
    if (ok) accepted = "P" + std::to_string(i);
    EXPECT_EQ(m.lastSelections(), (std::map<std::string, std::string>{{"G", accepted}}));
    return Json(ok);
  };
  auto close = [&](int) { return Json(m.closeConnections()); };  // needs an integer 0 code
  auto traffic = [&](int) {
    std::promise<Json> counted;
    m.trafficCallThen("getTraffic", [&](auto p) { counted.set_value(Json{p.first, p.second}); });
    return counted.get_future().get();
  };
  m.setStateForTesting(KernelProcessState::running());  // only a running kernel is queried
  auto query = [&](int) { return Json(m.query("getProxies", "", 5).value_or("none")); };
  const struct {
    std::function<Json(int)> action;
    Json reply, expected;
  } cases[] = {
      {change, {{"code", 0}, {"data", ""}}, true},
      {change, {{"code", 0}, {"data", "proxy not found"}}, false},
      {change, Json::object(), true},
      {change, {{"code", "9"}, {"data", 3}}, true},
      {close, {{"code", 0}}, true},
      {close, Json::object(), false},
      {close, {{"code", "0"}}, false},
      {traffic, {{"data", R"({"up":10,"down":20})"}}, {10, 20}},
      {traffic, {{"code", 3}, {"data", R"({"down":20})"}}, {0, 20}},
      {traffic, {{"data", R"({"up":12.9,"down":"7"})"}}, {12, 0}},
      {traffic, {{"data", R"({"up":18446744073709551615,"down":1})"}}, {INT64_MAX, 1}},
      {traffic, {{"data", {{"up", 10}, {"down", 20}}}}, {0, 0}},  // not text
      {query, {{"data", {1, "a"}}}, R"([1,"a"])"},  // any JSON comes back as compact text
      {query, {{"data", 3}}, "none"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    {
      std::lock_guard<std::mutex> g(mu);
      script.push_back(cases[i].reply);
    }
    EXPECT_EQ(cases[i].action(int(i)), cases[i].expected) << "case " << i;
  }
  EXPECT_EQ(log.count("changeProxy err: proxy not found"), 1u);
}

}  // namespace
}  // namespace zelvo::controltest
