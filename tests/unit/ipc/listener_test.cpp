// The listener and its connections against real Unix sockets: credentials,
// per-connection ordering, exactly-once replies, invalidation on bad input
// and on hang-up, and the client transport's failure when the server goes.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <set>

#include "ipc_test_support.h"
#include "platform/dispatch.h"

namespace zelvo::platform::test {
namespace {

using namespace std::chrono_literals;

using IpcListenerTest = ListenerFixture;

TEST_F(IpcListenerTest, SocketIsWorldWritableAndReplacesAStaleFile) {
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  // A second listener over a leftover file (here: the first one's socket,
  // then a plain file) takes the path over.
  listener_.reset();
  std::ofstream(path_) << "stale";
  listener_ = std::make_unique<IpcListener>(path_, "test.ipc2");
  listener_->setDelegate([](const std::shared_ptr<IpcConnection>& c) {
    c->setExportedInterface(testInterface());
    c->setExportedObject([](const IpcMethod&, IpcValue args, IpcReply reply) { reply(args); });
    c->resume();
    return true;
  });
  listener_->resume();
  RawClient c(path_);
  ASSERT_TRUE(c.connected());
  c.request(1, "echo:completion:", {"hi"});
  auto r = c.next();
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["reply"][0], "hi");
}

TEST_F(IpcListenerTest, RequestsWaitForTheDelegateToReturn) {
  // A delegate that resumes first and then takes its time: the connection's
  // requests (and its hang-up) must still come after it.
  listener_.reset();
  std::atomic<bool> delegateDone{false}, sawDone{false}, invalidatedAfter{false};
  auto handled = std::make_shared<Semaphore>();
  auto invalidated = std::make_shared<Semaphore>();
  listener_ = std::make_unique<IpcListener>(path_, "test.ipc.slow");
  listener_->setDelegate([&](const std::shared_ptr<IpcConnection>& c) {
    c->setExportedInterface(testInterface());
    c->setExportedObject([&, handled](const IpcMethod&, IpcValue args, IpcReply reply) {
      sawDone = delegateDone.load();
      reply(args);
      handled->signal();
    });
    c->setInvalidationHandler([&, invalidated] {
      invalidatedAfter = delegateDone.load();
      invalidated->signal();
    });
    c->resume();
    std::this_thread::sleep_for(100ms);
    delegateDone = true;
    return true;
  });
  listener_->resume();
  {
    RawClient c(path_);
    c.request(1, "echo:completion:", {"x"});
    ASSERT_TRUE(handled->waitFor(Seconds(10)));
  }
  ASSERT_TRUE(invalidated->waitFor(Seconds(10)));
  EXPECT_TRUE(sawDone.load());
  EXPECT_TRUE(invalidatedAfter.load());
  listener_.reset();
}

TEST_F(IpcListenerTest, ConnectionCarriesThePeerCredentials) {
  RawClient c(path_);
  ASSERT_TRUE(eventually([&] { return acceptedCount() == 1; }));
  EXPECT_EQ(accepted(0)->processIdentifier(), ::getpid());
  EXPECT_EQ(accepted(0)->effectiveUserIdentifier(), ::getuid());
  EXPECT_EQ(accepted(0)->effectiveGroupIdentifier(), ::getgid());
}

TEST_F(IpcListenerTest, RequestsOfOneConnectionRunInOrderOneAtATime) {
  std::atomic<int> inFlight{0}, maxInFlight{0};
  std::mutex orderMu;
  std::vector<int64_t> order;
  setHandler([&](const IpcMethod&, IpcValue args, IpcReply reply) {
    int now = ++inFlight;
    int seen = maxInFlight.load();
    while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
    }
    {
      std::lock_guard lock(orderMu);
      order.push_back(args[0].get<int64_t>());
    }
    if (args[0].get<int64_t>() % 7 == 0) std::this_thread::sleep_for(2ms);
    --inFlight;
    reply(args);
  });
  RawClient c(path_);
  const int n = 200;
  for (int i = 1; i <= n; ++i) c.request(uint64_t(i), "hold:completion:", {i});
  for (int i = 1; i <= n; ++i) {
    auto r = c.next();
    ASSERT_TRUE(r) << i;
    EXPECT_EQ((*r)["seq"], (*r)["reply"][0]);
  }
  std::lock_guard lock(orderMu);
  ASSERT_EQ(order.size(), size_t(n));
  for (int i = 0; i < n; ++i) EXPECT_EQ(order[i], i + 1);
  EXPECT_EQ(maxInFlight.load(), 1);
}

TEST_F(IpcListenerTest, OneBlockedConnectionDoesNotHoldUpAnother) {
  Semaphore release;
  setHandler([&](const IpcMethod& m, IpcValue args, IpcReply reply) {
    if (args[0] == "block") release.wait();
    reply(args);
  });
  RawClient a(path_), b(path_);
  a.request(1, "echo:completion:", {"block"});
  b.request(1, "echo:completion:", {"free"});
  auto rb = b.next(5s);
  ASSERT_TRUE(rb);
  EXPECT_EQ((*rb)["reply"][0], "free");
  release.signal();
  auto ra = a.next();
  ASSERT_TRUE(ra);
  EXPECT_EQ((*ra)["reply"][0], "block");
}

TEST_F(IpcListenerTest, ImmediateRequestsKeepTheirPlaceBehindQueuedOnes) {
  Semaphore release;
  std::mutex orderMu;
  std::vector<int64_t> order;
  std::atomic<int> inFlight{0}, overlaps{0};
  setHandler([&](const IpcMethod& m, IpcValue args, IpcReply reply) {
    if (inFlight++ != 0) ++overlaps;
    if (m.selector == "hold:completion:" && args[0] == 1) release.wait();
    {
      std::lock_guard lock(orderMu);
      order.push_back(args[0].get<int64_t>());
    }
    --inFlight;
    reply(args);
  });
  RawClient c(path_);
  c.request(1, "hold:completion:", {1});
  c.request(2, "now:completion:", {2});
  c.request(3, "hold:completion:", {3});
  c.request(4, "now:completion:", {4});
  // Nothing may overtake the held request.
  EXPECT_FALSE(c.next(300ms));
  release.signal();
  for (int i = 1; i <= 4; ++i) {
    auto r = c.next();
    ASSERT_TRUE(r) << i;
    EXPECT_EQ((*r)["seq"], i);
  }
  // And with the queue idle again, an immediate request is answered at once.
  c.request(5, "now:completion:", {5});
  auto r = c.next();
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["reply"][0], 5);
  std::lock_guard lock(orderMu);
  EXPECT_EQ(order, (std::vector<int64_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(IpcListenerTest, APeerThatNeverReadsItsRepliesStallsNoOtherConnection) {
  // Immediate requests are answered on the I/O thread only while their reply
  // fits; once this peer's replies back up, its requests go to its own queue.
  RawClient greedy(path_);
  ASSERT_EQ(::fcntl(greedy.fd(), F_SETFL, O_NONBLOCK), 0);
  std::vector<uint8_t> frames;
  for (int i = 1; i <= 256; ++i) {
    IpcValue m = IpcValue::object();
    m["seq"] = i;
    m["sel"] = "now:completion:";
    m["args"] = IpcValue::array({i});
    auto f = encodeFrame(m);
    frames.insert(frames.end(), f.begin(), f.end());
  }
  // Writes until the daemon stops taking requests: its replies fill the
  // socket, it stops reading, and our send buffer fills too.
  size_t sent = 0;
  bool stalled = false;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!stalled && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::send(greedy.fd(), frames.data(), frames.size(), MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      pollfd p{greedy.fd(), POLLOUT, 0};
      stalled = ::poll(&p, 1, 500) == 0;  // the daemon is no longer reading
      continue;
    }
    FAIL() << "send failed: " << std::strerror(errno);
  }
  ASSERT_TRUE(stalled) << "the daemon kept reading " << sent << " bytes of requests";

  RawClient other(path_);
  const auto t0 = std::chrono::steady_clock::now();
  other.request(1, "now:completion:", {7});
  auto r = other.next(5s);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["reply"][0], 7);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  other.request(2, "echo:completion:", {"x"});
  ASSERT_TRUE(other.next(5s));
}

TEST_F(IpcListenerTest, ReplyFromAnotherThreadIsSentExactlyOnce) {
  std::mutex mu;
  std::vector<std::thread> threads;
  setHandler([&](const IpcMethod&, IpcValue args, IpcReply reply) {
    std::lock_guard lock(mu);
    threads.emplace_back([reply, args] {
      reply(args);
      reply(IpcValue::array({"second"}));
      IpcReply copy = reply;
      copy(IpcValue::array({"third"}));
    });
  });
  RawClient c(path_);
  c.request(5, "echo:completion:", {"first"});
  c.request(6, "echo:completion:", {"next"});
  auto r1 = c.next();
  auto r2 = c.next();
  ASSERT_TRUE(r1 && r2);
  std::set<std::string> got{(*r1)["reply"][0].get<std::string>(),
                            (*r2)["reply"][0].get<std::string>()};
  EXPECT_EQ(got, (std::set<std::string>{"first", "next"}));
  EXPECT_FALSE(c.next(300ms)) << "a duplicate reply was sent";
  std::lock_guard lock(mu);
  for (auto& t : threads) t.join();
}

TEST_F(IpcListenerTest, BadInputInvalidatesOnlyThatConnection) {
  auto frame = [](std::vector<uint8_t> body) {
    std::vector<uint8_t> f{uint8_t(body.size()), uint8_t(body.size() >> 8),
                           uint8_t(body.size() >> 16), uint8_t(body.size() >> 24)};
    f.insert(f.end(), body.begin(), body.end());
    return f;
  };
  auto req = [](IpcValue seq, IpcValue sel, IpcValue args) {
    IpcValue m = IpcValue::object();
    m["seq"] = seq;
    m["sel"] = sel;
    m["args"] = args;
    return encodeFrame(m);
  };
  std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
      {"zero length", {0, 0, 0, 0}},
      {"length above 256 MiB", {1, 0, 0, 0x10}},
      {"garbage body", frame({0xc1, 0xff, 0x00})},
      {"not a map", frame({0x93, 1, 2, 3})},
      {"deep nesting", frame(std::vector<uint8_t>(5000, 0x91))},
      {"unknown selector", req(1, "nope:", IpcValue::array())},
      {"wrong argument type", req(1, "echo:completion:", {5})},
      {"wrong argument count", req(1, "echo:completion:", {"a", "b"})},
      {"integer too big for Int", req(1, "hold:completion:", {uint64_t(1) << 63})},
      {"disallowed class", req(1, "obj:completion:", IpcValue::array({{{"$class", "Bar"}}}))},
      {"object without class", req(1, "obj:completion:", IpcValue::array({{{"x", 1}}}))},
      {"seq zero", req(0, "echo:completion:", {"a"})},
      {"seq not a number", req("1", "echo:completion:", {"a"})},
      {"args not an array", req(1, "echo:completion:", "a")},
  };
  RawClient good(path_);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    size_t before = invalidationCount();
    RawClient bad(path_);
    bad.sendBytes(cases[i].second);
    EXPECT_TRUE(bad.closedByPeer());
    EXPECT_TRUE(eventually([&] { return invalidationCount() == before + 1; }));
    good.request(i + 1, "echo:completion:", {"still here"});
    auto r = good.next();
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)["seq"], i + 1);
  }
  // The allowed class passes.
  good.request(100, "obj:completion:", IpcValue::array({{{"$class", "Foo"}}}));
  auto r = good.next();
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["reply"][0], true);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(invalidationCount(), cases.size()) << "some handler ran twice";
}

TEST_F(IpcListenerTest, HangUpRunsTheInvalidationHandlerOnceAfterEarlierRequests) {
  std::mutex mu;
  std::vector<std::string> events;
  setHandler([&](const IpcMethod&, IpcValue args, IpcReply reply) {
    std::this_thread::sleep_for(5ms);
    std::lock_guard lock(mu);
    events.push_back(args[0].get<std::string>());
    reply(args);
  });
  {
    RawClient c(path_);
    for (auto s : {"a", "b", "c"}) c.request(1, "echo:completion:", {s});
  }  // closes at once, without reading the replies
  ASSERT_TRUE(eventually([&] { return invalidationCount() == 1; }));
  std::lock_guard lock(mu);
  EXPECT_EQ(events, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_FALSE(accepted(0)->isValid());
  EXPECT_TRUE(eventually([&] { return listener_->connectionCount() == 0; }));
}

TEST_F(IpcListenerTest, BacklogPausesReadingWithoutLosingRequests) {
  Semaphore release;
  std::atomic<int> handled{0};
  setHandler([&](const IpcMethod&, IpcValue args, IpcReply reply) {
    if (handled++ == 0) release.wait();
    reply(args);
  });
  RawClient c(path_);
  const int n = 2000;  // far beyond the queue's high-water mark
  std::thread writer([&] {
    for (int i = 1; i <= n; ++i) c.request(uint64_t(i), "hold:completion:", {i});
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_LT(handled.load(), n);
  release.signal();
  for (int i = 1; i <= n; ++i) {
    auto r = c.next();
    ASSERT_TRUE(r) << i;
    ASSERT_EQ((*r)["seq"], i);
  }
  writer.join();
}

TEST_F(IpcListenerTest, AReplyThatDoesNotFitTheInterfaceDropsTheConnection) {
  setHandler([](const IpcMethod&, IpcValue, IpcReply reply) { reply(IpcValue::array({42})); });
  RawClient c(path_);
  c.request(1, "echo:completion:", {"x"});
  EXPECT_TRUE(c.closedByPeer());
  EXPECT_TRUE(eventually([&] { return invalidationCount() == 1; }));
}

TEST_F(IpcListenerTest, ClientCallsFailAtOnceWhenTheServerGoesAway) {
  std::mutex mu;
  std::vector<IpcReply> held;
  setHandler([&](const IpcMethod&, IpcValue, IpcReply reply) {
    std::lock_guard lock(mu);
    held.push_back(reply);
  });
  auto conn = IpcClientConnection::connect(path_, testInterface());
  std::atomic<bool> interrupted{false};
  conn->setInterruptionHandler([&] { interrupted = true; });
  std::atomic<int> failed{0};
  std::atomic<long> code{0};
  for (int i = 0; i < 3; ++i) {
    conn->send("hold:completion:", {i}, [&](IpcResult r) {
      if (!r.ok()) {
        code = r.error->code();
        ++failed;
      }
    });
  }
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mu);
    return held.size() == 3;
  }));
  auto t0 = std::chrono::steady_clock::now();
  listener_->invalidate();
  ASSERT_TRUE(eventually([&] { return failed.load() == 3; }, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_EQ(code.load(), kIpcConnectionInterrupted);
  EXPECT_TRUE(interrupted.load());
  EXPECT_FALSE(conn->isValid());
  // Later sends fail before returning.
  bool later = false;
  conn->send("echo:completion:", {"x"}, [&](IpcResult r) { later = !r.ok(); });
  EXPECT_TRUE(later);
  // Replying after the connection is gone is harmless.
  std::lock_guard lock(mu);
  for (auto& r : held) r(IpcValue::array({1}));
}

TEST_F(IpcListenerTest, ClientChecksArgumentsAndReplies) {
  auto conn = IpcClientConnection::connect(path_, testInterface());
  std::optional<IpcResult> bad;
  conn->send("echo:completion:", {1}, [&](IpcResult r) { bad = std::move(r); });
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->error->code(), kIpcBadRequest);
  conn->send("unknown:", IpcValue::array(), [&](IpcResult r) { bad = std::move(r); });
  EXPECT_EQ(bad->error->code(), kIpcBadRequest);
  EXPECT_TRUE(conn->isValid());

  std::mutex mu;
  std::condition_variable cv;
  std::optional<IpcResult> good;
  conn->send("pair:flag:completion:", {-7, true}, [&](IpcResult r) {
    std::lock_guard lock(mu);
    good = std::move(r);
    cv.notify_one();
  });
  std::unique_lock lock(mu);
  ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return good.has_value(); }));
  ASSERT_TRUE(good->ok());
  EXPECT_EQ((*good->reply)[0], -7);
}

// A server written by hand that answers with a reply of the wrong type: the
// client must refuse it, fail the call and drop the connection.
TEST(IpcClientConnectionTest, RefusesARepliesThatDoNotFitTheInterface) {
  char tmpl[] = "/tmp/zelvo-ipc-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/s.sock";
  int lfd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(lfd, 4), 0);
  std::thread server([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    int err;
    auto body = readFrame(fd, &err);
    if (body) {
      IpcValue req = decodeBody(*body);
      IpcValue rep = IpcValue::object();
      rep["seq"] = req["seq"];
      rep["reply"] = IpcValue::array({12345});  // echo replies with a string
      auto f = encodeFrame(rep);
      writeAll(fd, f.data(), f.size());
    }
    char c;
    while (::read(fd, &c, 1) > 0) {
    }
    ::close(fd);
  });
  auto conn = IpcClientConnection::connect(path, testInterface());
  Semaphore done;
  std::optional<Error> err;
  conn->send("echo:completion:", {"x"}, [&](IpcResult r) {
    if (r.error) err = r.error;
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(Seconds(10)));
  ASSERT_TRUE(err);
  EXPECT_EQ(err->code(), kIpcReplyInvalid);
  EXPECT_TRUE(eventually([&] { return !conn->isValid(); }));
  conn.reset();
  server.join();
  ::close(lfd);
  std::filesystem::remove_all(tmpl);
}

TEST(IpcClientConnectionTest, ConnectFailureNamesTheErrno) {
  try {
    IpcClientConnection::connect("/nonexistent-dir/helper.sock", testInterface());
    FAIL() << "connected to nothing";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), ENOENT);
    EXPECT_EQ(e.localizedDescription(), "No such file or directory");
  }
}

}  // namespace
}  // namespace zelvo::platform::test
