// Frames, the keyed archive, and the listener on real Unix sockets.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <random>

#include "ipc_test_support.h"
#include "platform/keyed_archive.h"
#include "service/proxy_status.h"

namespace zelvo::platform::test {
namespace {

// Any chunking gives back every body; memory follows the bytes that arrived, not
// the length promised: below a segment <= 2x (64 KiB min), beyond <= +1 segment.
TEST(IpcFrame, ReassemblesAnyChunkingHoldingOnlyWhatArrived) {
  std::mt19937 rng(7);
  std::vector<IpcValue> sent;
  for (int i = 0; i < 50; ++i)
    sent.push_back({{"seq", i}, {"args", {std::string(rng() % 300, 'x')}}});
  constexpr size_t kSeg = FrameAssembler::kSegmentSize;
  const std::vector<uint8_t> payload(2 * kSeg + 12345, 0xab);
  sent.push_back({{"seq", 51}, {"args", {IpcValue::binary(payload)}}});
  sent.push_back({{"seq", 52}, {"args", {"after"}}});
  std::vector<uint8_t> stream;
  for (const auto& m : sent) {
    for (uint8_t b : encodeFrame(m)) stream.push_back(b);
  }
  for (size_t chunk : {size_t(3), size_t(977), size_t(65536), kSeg + 3, stream.size()}) {
    FrameAssembler a;
    std::vector<IpcValue> got;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      ASSERT_TRUE(a.feed(stream.data() + i, std::min(chunk, stream.size() - i),
                         [&](std::vector<uint8_t>&& b) {
                           EXPECT_EQ(b.capacity(), b.size());
                           got.push_back(decodeBody(b));
                         }));
      const size_t held = a.bufferedBytes();
      ASSERT_LE(a.capacityBytes(), held < kSeg ? std::max<size_t>(65536, 2 * held) : held + kSeg)
          << "holding " << held << " bytes in chunks of " << chunk;
    }
    EXPECT_EQ(got, sent) << "chunks of " << chunk;
    EXPECT_EQ(a.capacityBytes(), 0u);
  }
}

// Maps small and large, with repeated keys (the last value wins, at the first
// key's place), decode as the library's own decoder reads them.
TEST(IpcFrame, MapsDecodeAsTheLibraryReadsThemRepeatedKeysIncluded) {
  for (const auto& [pairs, keys] : {std::pair{3, 3}, {18, 16}, {40, 33}, {1000, 1}, {1000, 900}}) {
    std::vector<uint8_t> body{0xde, uint8_t(pairs >> 8), uint8_t(pairs)};
    for (int i = 0; i < pairs; ++i) {
      const std::string key = "k" + std::to_string(i % keys);
      body.push_back(uint8_t(0xa0 + key.size()));
      body.insert(body.end(), key.begin(), key.end());
      body.push_back(uint8_t(i % 128));
    }
    EXPECT_EQ(decodeBody(body), IpcValue::from_msgpack(body)) << pairs << " pairs";
  }
  for (const uint64_t n : {kMaxMessageValues, kMaxMessageValues + 1}) {  // more are refused
    std::vector<uint8_t> body{0xdd, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    body.resize(body.size() + n, 0xc0);
    EXPECT_EQ(scanMessagePack(body.data(), body.size()).has_value(), n > kMaxMessageValues);
  }
  std::vector<uint8_t> deep(kMaxMessageDepth + 1, 0x91);  // arrays in arrays, then nil
  deep.push_back(0xc0);
  for (const auto& bad : {deep, std::vector<uint8_t>{0xa3, 0xED, 0xA0, 0x80}}) {  // a surrogate
    EXPECT_TRUE(scanMessagePack(bad.data(), bad.size()).has_value());
  }
}

TEST(IpcFrame, ZeroAndOversizedLengthsAreProtocolErrors) {
  for (uint32_t len : {0u, kMaxFrameBody + 1, 0xffffffffu, kMaxFrameBody}) {
    FrameAssembler a;
    bool fed = true;
    for (int i = 0; i < 5; ++i) {  // the header, then a byte of body
      const uint8_t byte = i < 4 ? uint8_t(len >> (8 * i)) : 0;
      fed = a.feed(&byte, 1, [](auto&&) { ADD_FAILURE(); }) && fed;
    }
    EXPECT_EQ(fed, len == kMaxFrameBody) << len;  // exactly the limit is allowed
  }
}

// Missing keys (and a nil object) take the field defaults; a class not allowed
// or a field of the wrong type is refused as corrupt.
TEST(KeyedArchive, DefaultsMissingKeysAndRefusesOtherClassesAndWrongTypes) {
  EXPECT_EQ(ProxyStatus::fromArchive(
                {{"$class", "ProxyStatus"}, {"httpPort", 8080}, {"errorMessage", nullptr}}),
            (ProxyStatus{false, 8080, 0, "", 0, 0, std::nullopt}));
  const ProxyStatus full{true, 1, 2, "rule", 3, 4, "e"};
  EXPECT_EQ(ProxyStatus::fromArchive(full.toArchive()), full);
  EXPECT_EQ(ProxyStatus::fromArchive({{"$class", "ProxyStatus"}, {"uplink", uint64_t(INT64_MAX)}}),
            (ProxyStatus{false, 0, 0, "", INT64_MAX, 0, std::nullopt}));
  const IpcValue refused[] = {
      {{"$class", "NSDictionary"}, {"isRunning", true}},
      {{"isRunning", true}},  // no class at all
      "ProxyStatus",          // a str is an NSString, not a ProxyStatus
      {{"$class", "ProxyStatus"}, {"httpPort", "7890"}},
      {{"$class", "ProxyStatus"}, {"isRunning", 1}},
      {{"$class", "ProxyStatus"}, {"uplink", uint64_t(1) << 63}},
  };
  for (const IpcValue& v : refused) {
    try {
      ProxyStatus::fromArchive(v);
      ADD_FAILURE() << "accepted " << v.dump();
    } catch (const Error& e) {
      EXPECT_EQ(e.domain() + " " + std::to_string(e.code()), "NSCocoaErrorDomain 4864") << v.dump();
    }
  }
}

// Every third request is immediate: while the first is held none may overtake
// it or run beside another. There are more than the backlog admits, so reading
// pauses and must resume on bytes already waiting in the socket.
TEST_F(IpcListenerTest, RequestsOfOneConnectionRunInOrderOneAtATimeImmediateOnesIncluded) {
  auto release = std::make_shared<Semaphore>();
  auto inFlight = std::make_shared<std::atomic<int>>(0),
       overlaps = std::make_shared<std::atomic<int>>(0);
  start([=](const IpcMethod&, IpcValue args, IpcReply reply) {
    *overlaps += (*inFlight)++ != 0;
    if (args[0] == 1) release->waitFor(Seconds(20));
    --*inFlight;
    reply(args);  // replies go out in the order the handler ran
  });
  RawClient c(path_);
  auto send = [&](int i) { c.request(i, i % 3 ? "hold:completion:" : "now:completion:", {i}); };
  for (int i = 1; i <= 200; ++i) send(i);
  EXPECT_FALSE(c.next(300ms)) << "a request overtook the held one";
  release->signal();
  send(201);
  for (int i = 1; i <= 201; ++i) {
    auto r = c.next();
    ASSERT_TRUE(r) << i;
    ASSERT_EQ((*r)["seq"], i);
  }
  EXPECT_EQ(overlaps->load(), 0);
}

// One connection blocked in its handler, another that never reads its replies:
// a third is still served at once, immediate and queued requests alike.
TEST_F(IpcListenerTest, ABlockedConnectionOrAPeerThatNeverReadsHoldsUpNoOther) {
  auto release = std::make_shared<Semaphore>();
  start([release](const IpcMethod&, IpcValue args, IpcReply reply) {
    if (args[0] == "block") release->waitFor(Seconds(20));
    reply(args);
  });
  RawClient blocked(path_), greedy(path_), other(path_);
  blocked.request(1, "echo:completion:", {"block"});
  ASSERT_EQ(::fcntl(greedy.fd(), F_SETFL, O_NONBLOCK), 0);
  std::vector<uint8_t> frames;
  for (int i = 1; i <= 256; ++i) {
    auto f = encodeFrame({{"seq", i}, {"sel", "now:completion:"}, {"args", {i}}});
    frames.insert(frames.end(), f.begin(), f.end());
  }
  EXPECT_TRUE(eventually([&] {
    if (::send(greedy.fd(), frames.data(), frames.size(), MSG_NOSIGNAL) >= 0) return false;
    pollfd p{greedy.fd(), POLLOUT, 0};
    return errno == EAGAIN && ::poll(&p, 1, 500) == 0;  // the listener no longer reads it
  })) << "the listener kept reading a peer that never reads its replies";

  const auto t0 = unit::Clock::now();
  other.request(1, "now:completion:", {7});
  other.request(2, "echo:completion:", {"x"});
  for (IpcValue want : {IpcValue(7), IpcValue("x")}) {
    auto r = other.next(5s);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)["reply"][0], want);
  }
  EXPECT_LT(unit::secondsSince(t0), 2.0);
  release->signal();
  EXPECT_TRUE(blocked.next());
}

// Restricted peers that never read replies sent from a thread that may not
// wait for them (as the kernel's replies are) hold a few threads between
// them, not one each.
TEST_F(IpcListenerTest, RestrictedPeersThatNeverReadHoldAFewThreadsNotOneEach) {
  auto handled = std::make_shared<std::atomic<int>>(0);
  start(
      [handled](const IpcMethod&, IpcValue, IpcReply reply) {
        const RepliesNeverWait likeTheKernelsReader;
        reply(IpcValue::array({std::string(4096, 'x')}));
        ++*handled;
      },
      /*restricted=*/[](auto&&...) { return true; });
  const auto threads = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
  };
  const auto before = threads();
  std::vector<std::unique_ptr<RawClient>> peers;
  for (int i = 0; i < 24; ++i) {
    peers.push_back(std::make_unique<RawClient>(path_));
    for (int seq = 1; seq <= 80; ++seq) peers.back()->request(seq, "echo:completion:", {"?"});
  }
  ASSERT_TRUE(eventually([&] { return *handled == 24 * 80; }));  // within the observers' budget
  EXPECT_FALSE(eventually([&] { return threads() >= before + 12; }, 1s))
      << threads() - before << " threads more";
}

// A restricted peer's requests left unanswered, however small and immediate,
// stop its reading at its backlog (256 of them).
TEST_F(IpcListenerTest, UnansweredRequestsOfARestrictedPeerStopItsReading) {
  auto held = std::make_shared<std::atomic<int>>(0);
  auto replies = std::make_shared<std::vector<IpcReply>>();  // on the connection's queue only
  start([=](const IpcMethod&, IpcValue, IpcReply r) { ++*held, replies->push_back(std::move(r)); },
        [](auto&&...) { return true; });
  std::vector<uint8_t> frames;  // in one write: the socket counts each write's overhead
  for (int i = 1; i <= 1000; ++i) {
    const auto f = encodeFrame({{"seq", i}, {"sel", "now:completion:"}, {"args", {i}}});
    frames.insert(frames.end(), f.begin(), f.end());
  }
  RawClient c(path_);
  c.sendBytes(frames);
  EXPECT_TRUE(eventually([&] { return *held >= 256; }));
  EXPECT_FALSE(eventually([&] { return *held > 300; }, 1s)) << *held << " unanswered";
}

// Shapes only this interface has; bad frames are daemon-level tests' business.
TEST_F(IpcListenerTest, BadInputInvalidatesOnlyThatConnection) {
  start();
  const IpcValue bad[] = {
      {{"seq", 1},
       {"sel", "obj:completion:"},
       {"args", IpcValue::array({{{"x", 1}}})}},  // no class
      {{"seq", 1}, {"sel", "obj:completion:"}, {"args", IpcValue::array({{{"$class", "Bar"}}})}},
      {{"seq", "1"}, {"sel", "echo:completion:"}, {"args", {"a"}}},
      {{"seq", 1}, {"sel", "echo:completion:"}, {"args", "a"}},
  };
  RawClient good(path_);
  for (size_t i = 0; i < std::size(bad); ++i) {
    RawClient c(path_);
    c.sendBytes(encodeFrame(bad[i]));
    EXPECT_TRUE(eventually([&] { return invalidationCount() == i + 1; })) << bad[i].dump();
    good.request(i + 1, "echo:completion:", {"still here"});
    auto r = good.next();
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)["seq"], i + 1);
  }
  good.request(100, "obj:completion:", IpcValue::array({{{"$class", "Foo"}}}));
  auto r = good.next();
  ASSERT_TRUE(r) << "the allowed class was refused";
  EXPECT_EQ((*r)["reply"][0], true);
  EXPECT_EQ(invalidationCount(), std::size(bad)) << "a handler ran twice";
}

TEST_F(IpcListenerTest, HangUpRunsTheInvalidationHandlerOnceAfterEarlierRequests) {
  auto events = std::make_shared<std::vector<std::string>>();  // touched on the connection's queue
  start([n = invalidations_, events](const IpcMethod&, IpcValue args, IpcReply reply) {
    std::this_thread::sleep_for(5ms);
    events->push_back(args[0].get<std::string>() + (*n ? " late" : ""));
    reply(args);
  });
  RawClient c(path_);
  for (auto s : {"a", "b", "c"}) c.request(1, "echo:completion:", {s});
  // Hangs up at once, closing only the sending half, as a client that then
  // reads its replies does (a peer gone entirely may also cut the requests
  // still queued when a reply fails to go out): the replies still come.
  ::shutdown(c.fd(), SHUT_WR);
  ASSERT_TRUE(eventually([&] { return invalidationCount() == 1; }));
  EXPECT_EQ(*events, (std::vector<std::string>{"a", "b", "c"}));
  for (std::string s : {"a", "b", "c"}) {
    EXPECT_EQ(c.next().value_or(IpcValue{{"reply", {0}}})["reply"][0], s);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(invalidationCount(), 1u);
}

// Observers, however many accounts they use, hold at most half the slots, so
// they can never lock owners out; the slots come back when they hang up. Any
// one account holds at most its share.
TEST_F(IpcListenerTest, ObserversOfAnyNumberOfAccountsLeaveOwnersTheirSlots) {
  const rlimit fds{8192, 8192};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &fds), 0);
  start({}, [](uid_t uid, auto&&...) { return uid != 0; });
  ASSERT_EQ(::chmod(dir_.path.c_str(), 0755) | ::chmod(path_.c_str(), 0666), 0);
  const auto echo = encodeFrame({{"seq", 1}, {"sel", "echo:completion:"}, {"args", {"?"}}});
  sockaddr_un addr{AF_UNIX, {}};
  path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
  // Connects `n` times as `uid` and holds on until killed; returns its pid
  // and how many connections were served rather than closed.
  const auto peer = [&](uid_t uid, int n) {
    int report[2];
    EXPECT_EQ(::pipe(report), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::setgroups(0, nullptr) || ::setgid(uid) || ::setuid(uid)) ::_exit(1);
      int served = 0;
      for (int i = 0; i < n; ++i) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        char c = 0;
        served += ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::send(s, echo.data(), echo.size(), MSG_NOSIGNAL) == ssize_t(echo.size()) &&
                  ::recv(s, &c, 1, 0) == 1;
      }
      (void)!::write(report[1], &served, sizeof served);
      ::pause();
    }
    ::close(report[1]);
    int served = -1;
    (void)!::read(report[0], &served, sizeof served);
    ::close(report[0]);
    return std::pair{pid, served};
  };
  const auto [crowd, crowdServed] = peer(65534, 2049);
  EXPECT_EQ(crowdServed, 2048);  // one account's share
  const auto [late, lateServed] = peer(65533, 1);
  EXPECT_EQ(lateServed, 0);  // the observers' half is full
  RawClient owner(path_);
  owner.request(1, "echo:completion:", {"owner"});
  EXPECT_TRUE(owner.next().has_value());
  ::kill(crowd, SIGKILL);
  ::waitpid(crowd, nullptr, 0);
  ASSERT_TRUE(eventually([&] { return invalidationCount() >= 2048; }));
  const auto [after, afterServed] = peer(65533, 1);
  EXPECT_EQ(afterServed, 1);
  const auto [owners, ownersServed] = peer(0, 2048);
  EXPECT_EQ(ownersServed, 2047);  // an owner's account is held to its share too
  for (const pid_t pid : {late, after, owners}) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace zelvo::platform::test
