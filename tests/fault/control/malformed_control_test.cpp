// Malformed control frames: the kernel the daemon launches never connects
// (ZELVAN_NO_CONNECT), and the test takes its place on the control socket to
// send back what a broken kernel could: replies of every wrong shape,
// garbage pushes, frames that are not JSON objects, refused lengths, bodies
// cut short, random bytes, a flood. Each scenario runs against a fresh start.
// The daemon must go on answering its clients (requests that need the kernel
// within their own time-outs), stop in bounded time, and leave nothing
// behind.
#include <sys/socket.h>
#include <sys/un.h>

#include <future>
#include <random>

#include "fault/fault_support.h"

namespace zelvo::testing::fault {
namespace {

std::string le32Text(uint32_t n) {
  return {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
          static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
}

std::string frame(const std::string& body) {
  return le32Text(static_cast<uint32_t>(body.size())) + body;
}

// The kernel's end of the control socket, played by the test.
class FakeKernel {
 public:
  // Connects to the daemon's control socket at `path`, retrying while the
  // daemon has not created it yet.
  explicit FakeKernel(const std::string& path) {
    eventually(
        [&] {
          fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_un a{};
          a.sun_family = AF_UNIX;
          std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
          if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
          ::close(fd_);
          fd_ = -1;
          return false;
        },
        15.0, 0.01);
    if (fd_ >= 0) {
      timeval tv{10, 0};  // no read may hang the test
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
  }
  ~FakeKernel() { hangUp(); }
  FakeKernel(const FakeKernel&) = delete;
  FakeKernel& operator=(const FakeKernel&) = delete;

  bool connected() const { return fd_ >= 0; }

  // The next request the daemon sent; nothing at end of stream or time-out.
  std::optional<Json> request() {
    std::string header, body;
    if (fd_ < 0 || !readExactly(fd_, 4, &header)) return std::nullopt;
    const uint32_t n = static_cast<uint8_t>(header[0]) | static_cast<uint8_t>(header[1]) << 8 |
                       static_cast<uint8_t>(header[2]) << 16 |
                       static_cast<uint32_t>(static_cast<uint8_t>(header[3])) << 24;
    if (!readExactly(fd_, n, &body)) return std::nullopt;
    Json j = Json::parse(body, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
  }

  // The next request, which must be `method`.
  std::optional<Json> expect(const std::string& method) {
    auto r = request();
    EXPECT_TRUE(r.has_value()) << "no " << method << " request came";
    if (r) {
      EXPECT_EQ((*r)["method"], method);
    }
    return r;
  }

  bool send(const std::string& bytes) { return fd_ >= 0 && writeAll(fd_, bytes); }
  bool sendBody(const Json& body) { return send(frame(body.dump())); }
  // The kernel's well-formed answer to `request`, with `data`.
  bool answer(const Json& request, const Json& data = "") {
    return sendBody({{"id", request["id"]}, {"code", 0}, {"data", data}});
  }
  // Plays the start-up drive as a good kernel would.
  void serveDrive() {
    for (const char* method : {"initCore", "setupConfig", "startListener"}) {
      if (auto r = expect(method)) answer(*r);
    }
  }

  // True when the daemon ends the connection within 10 s; frames it sent
  // before are read and, when `shutdownSeen` is given, searched for the stop's
  // shutdown notice.
  bool endedByDaemon(bool* shutdownSeen = nullptr) {
    while (auto r = request()) {
      if (shutdownSeen && (*r)["method"] == "shutdown" && (*r)["id"] == "0") *shutdownSeen = true;
    }
    char c;
    return fd_ >= 0 && ::recv(fd_, &c, 1, MSG_DONTWAIT) == 0;
  }

  void hangUp() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

class MalformedControlTest : public FaultTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(startFaultDaemon({{"ZELVAN_NO_CONNECT", "1"}}));
    port_ = freePort();
  }

  std::string controlSocketPath() const { return dataDir(root_) + "/work/control.sock"; }

  // A client call made while the test serves the kernel's side.
  template <class F>
  auto inBackground(F f) {
    return std::async(std::launch::async, std::move(f));
  }

  // Starts a kernel, lets `scenario` play the kernel's side, then checks
  // that the daemon still answers, stops in bounded time and leaves nothing.
  template <class Scenario>
  void round(const std::string& name, Scenario scenario) {
    SCOPED_TRACE(name);
    const size_t readersEnded = daemon_->countLog("reader loop 结束");
    expectShutdownNotice_ = true;
    auto started = inBackground([&] { return client_->startProxy(config(port_)); });
    {
      FakeKernel fake(controlSocketPath());
      ASSERT_TRUE(fake.connected());
      scenario(fake);
      ASSERT_EQ(started.wait_for(std::chrono::seconds(15)), std::future_status::ready);
      const auto s = started.get();
      ASSERT_TRUE(s.ok() && s->success);

      const auto t0 = Clock::now();
      EXPECT_TRUE(client_->getVersion().ok());
      EXPECT_LT(secondsSince(t0), 1.0) << "the daemon was slow to answer";
      // The stop's shutdown notice goes to whoever holds the connection,
      // unless the scenario hung up.
      auto stop = inBackground([&] {
        const auto t = Clock::now();
        auto r = client_->stopProxy();
        return std::pair{r.ok() && *r, secondsSince(t)};
      });
      bool shutdownSeen = false;
      if (fake.connected()) {
        EXPECT_TRUE(fake.endedByDaemon(&shutdownSeen)) << "the daemon kept the control connection";
      }
      const auto [stopped, stopTook] = stop.get();
      EXPECT_TRUE(stopped);
      EXPECT_LE(stopTook, 3.0);
      if (expectShutdownNotice_) {
        EXPECT_TRUE(shutdownSeen);
      }
    }
    EXPECT_TRUE(kernelPids(root_).empty());
    EXPECT_TRUE(whenLogged(*daemon_, "reader loop 结束", readersEnded + 1, 5.0));
    auto s = status();
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, ProxyStatus::stoppedRecord());
    ASSERT_NO_FATAL_FAILURE(expectNothingLeftBehind(ProxyPicture::off()));
    ++rounds_;
  }

  // A status request while the reader is gone: its traffic request times out
  // after 2 s and the record still comes.
  void expectStatusWithoutReader() {
    const auto t0 = Clock::now();
    auto s = status();
    const double took = secondsSince(t0);
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->isRunning);
    EXPECT_EQ(s->uplink, 0);
    EXPECT_LE(took, 3.5);
  }

  uint16_t port_ = 0;
  bool expectShutdownNotice_ = true;
  int rounds_ = 0;
};

TEST_F(MalformedControlTest, WrongShapesAndGarbagePushesAreSurvived) {
  round("replies of every wrong shape", [&](FakeKernel& fake) {
    auto init = fake.expect("initCore");
    ASSERT_TRUE(init.has_value());
    fake.sendBody({{"id", 1}, {"code", 0}});                          // id not a string
    fake.sendBody({{"id", "987654321"}, {"code", 0}, {"data", ""}});  // nobody asked
    fake.sendBody({{"code", 0}});                                     // no id at all
    fake.sendBody({{"id", (*init)["id"]}, {"code", "0"}, {"data", {{"nested", {1, 2}}}}});
    auto setup = fake.expect("setupConfig");
    ASSERT_TRUE(setup.has_value());
    // The configuration travels over the socket only.
    EXPECT_NE((*setup)["data"].get<std::string>().find(marker_), std::string::npos);
    fake.answer(*setup);
    fake.answer(*setup);  // twice: the second finds nobody waiting
    auto listen = fake.expect("startListener");
    ASSERT_TRUE(listen.has_value());
    for (const char c : frame(Json{{"id", (*listen)["id"]}, {"code", 0}, {"data", ""}}.dump())) {
      fake.send(std::string(1, c));  // one byte at a time
    }
    ASSERT_TRUE(whenLogged(*daemon_, kDriven, size_t(rounds_) + 1, 10.0));

    // Pushes: one good delay among broken ones.
    const auto delay = [](const Json& result) {
      return Json{{"method", "message"}, {"data", {{"type", "delay"}, {"data", result}}}};
    };
    fake.sendBody(delay({{"name", "node-a"}, {"value", 123.7}}));
    fake.sendBody(delay({{"name", ""}, {"value", 5}}));
    fake.sendBody(delay({{"name", "node-x"}, {"value", "12"}}));
    fake.sendBody(delay({{"name", 17}, {"value", 12}}));
    fake.sendBody(delay({{"name", "node-b"}, {"value", 1e300}}));
    fake.sendBody(delay({{"name", "node-c"}, {"value", -5}}));
    fake.sendBody({{"method", "message"}, {"data", "not an object"}});
    fake.sendBody({{"method", "message"}, {"data", {{"type", "other"}, {"data", {}}}}});
    fake.sendBody({{"method", 42}});

    // Queries answered in shapes the daemon must cope with.
    auto q = inBackground([&] { return client_->kernelQuery("getProxies", ""); });
    if (auto r = fake.expect("getProxies")) fake.answer(*r, Json{{"proxies", Json::object()}});
    auto proxies = q.get();
    ASSERT_TRUE(proxies.ok());
    EXPECT_EQ(*proxies, std::optional<std::string>("{\"proxies\":{}}"));

    q = inBackground([&] { return client_->kernelQuery("getMemory", ""); });
    if (auto r = fake.expect("getMemory")) fake.answer(*r, 42);
    auto memory = q.get();
    ASSERT_TRUE(memory.ok());
    EXPECT_EQ(*memory, std::nullopt);

    q = inBackground([&] { return client_->kernelQuery("getConfig", ""); });
    if (auto r = fake.expect("getConfig")) {
      fake.sendBody({{"id", (*r)["id"]}, {"code", 7}});  // a failure without data
    }
    auto config = q.get();
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(*config, std::nullopt);

    auto st = inBackground([&] { return status(); });
    if (auto r = fake.expect("getTotalTraffic")) {
      fake.answer(*r, Json{{"up", "many"}, {"down", -1}}.dump());
    }
    auto s = st.get();
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->isRunning);
    EXPECT_EQ(s->uplink, 0);
    EXPECT_EQ(s->downlink, -1);

    // The pushes came before that reply, so they have all been read.
    auto delays = client_->kernelQuery("__pushedDelays", "");
    ASSERT_TRUE(delays.ok() && delays->has_value());
    const Json stored = Json::parse(**delays);
    EXPECT_EQ(stored.size(), 3u) << stored.dump();
    EXPECT_EQ(stored.value("node-a", 0), 123);
    EXPECT_EQ(stored.value("node-c", 0), -5);
    EXPECT_TRUE(stored.contains("node-b")) << stored.dump();
  });

  round("a flood of pushes and stray replies", [&](FakeKernel& fake) {
    fake.serveDrive();
    std::string flood;
    for (int i = 0; i < 5000; ++i) {
      flood += frame(Json{{"method", "noise"}, {"data", i}}.dump());
      if (i % 3 == 0) flood += frame(Json{{"id", std::to_string(1000000 + i)}, {"code", 0}}.dump());
    }
    auto st = inBackground([&] { return status(); });
    ASSERT_TRUE(fake.send(flood));
    if (auto r = fake.expect("getTotalTraffic")) {
      fake.answer(*r, Json{{"up", 11}, {"down", 22}}.dump());
    }
    auto s = st.get();
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->uplink, 11);
    EXPECT_EQ(s->downlink, 22);
  });
  std::cout << "[ fault ] malformed control scenarios: " << rounds_ << "\n";
}

// Each of these ends the daemon's reading on that connection. While the
// connection stays open, requests are written and time out; when the fake
// hangs up they fail at once. Either way the daemon stays responsive.
TEST_F(MalformedControlTest, FramesThatEndTheReadingAreSurvived) {
  struct Breakage {
    const char* name;
    std::string bytes;
    bool hangUp;  // the fake leaves right after sending
  };
  std::mt19937 rng(77);
  std::string noise(4096, '\0');
  for (auto& c : noise) c = static_cast<char>(rng());
  const std::vector<Breakage> breakages = {
      {"a body that is a JSON array", frame("[1,2,3]"), false},
      {"a body that is no JSON", frame("{\"id\":"), false},
      {"invalid UTF-8 in a string", frame("{\"id\":\"1\xff\xfe\"}"), false},
      {"a length of zero", le32Text(0), false},
      {"a length of 32 MiB", le32Text(0x02000000), false},
      {"the largest length", le32Text(0xffffffffu), false},
      {"a body cut short", le32Text(0x01ffffff) + std::string(1 << 20, '{'), true},
      {"random bytes", noise, true},
      {"a header cut short", std::string("\x10\x00", 2), true},
  };
  for (const auto& b : breakages) {
    round(b.name, [&](FakeKernel& fake) {
      fake.serveDrive();
      ASSERT_TRUE(whenLogged(*daemon_, kDriven, size_t(rounds_) + 1, 10.0));
      const size_t ended = daemon_->countLog("reader loop 结束");
      ASSERT_TRUE(fake.send(b.bytes));
      if (b.hangUp) fake.hangUp();
      ASSERT_TRUE(whenLogged(*daemon_, "reader loop 结束", ended + 1, 10.0));
      expectShutdownNotice_ = !b.hangUp;
      expectStatusWithoutReader();
    });
  }
  // A kernel that connects and hangs up before a single answer.
  round("a kernel that hangs up at once", [&](FakeKernel& fake) {
    fake.hangUp();
    expectShutdownNotice_ = false;
    ASSERT_TRUE(whenLogged(*daemon_, kDriven, size_t(rounds_) + 1, 10.0));
    expectStatusWithoutReader();
  });
  std::cout << "[ fault ] malformed control scenarios: " << rounds_ << "\n";
}

}  // namespace
}  // namespace zelvo::testing::fault
