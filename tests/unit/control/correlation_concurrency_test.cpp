// Many callers on one control connection.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <random>

#include "control_peer.h"
#include "platform/log.h"

namespace zelvo::controltest {
namespace {

// Answers waiting requests shuffled; each reply to "t/i" follows a push t=i.
void answerShuffled(int fd) {
  std::mt19937 rng(12345);
  control::FrameReader reader(fd);
  std::vector<Json> batch;
  while (std::optional<Json> request = reader.next()) {
    batch.push_back(std::move(*request));
    pollfd p{fd, POLLIN, 0};
    if (batch.size() < 16 && ::poll(&p, 1, 1) > 0) continue;  // more are on the way
    std::shuffle(batch.begin(), batch.end(), rng);
    std::vector<Json> out;
    for (const Json& r : batch) {
      const std::string data = r["data"];
      const size_t slash = data.find('/');
      out.push_back(delayPush(data.substr(0, slash), std::stoi(data.substr(slash + 1))));
      out.push_back(replyTo(r, {{"code", 0}, {"data", "re:" + data}}));
    }
    if (!sendFrames(fd, out)) return;
    batch.clear();
  }
}

TEST(CorrelationConcurrency, SixteenCallersGetTheirOwnRepliesAndSeeTheirPushes) {
  platform::setLogToStderr(false);  // 4,800 request lines
  useSandboxRoot();
  auto m = std::make_shared<KernelProcessManager>();
  const int kernelFd = attachConnection(*m);
  std::thread kernel(answerShuffled, kernelFd);
  constexpr int kThreads = 16, kRequests = 300;
  std::atomic<int> wrong{0}, stalePush{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        const std::string mine = std::to_string(t) + "/" + std::to_string(i);
        auto reply = m->sendActionAwait("echo", mine, 10);
        wrong += !reply || (*reply)["data"] != "re:" + mine;
        const auto delays = m->pushedDelays();  // read while the reader loop writes it
        const auto d = delays.find(std::to_string(t));
        stalePush += d == delays.end() || d->second != i;
      }
    });
  }
  for (auto& c : callers) c.join();
  ::shutdown(kernelFd, SHUT_RDWR);
  kernel.join();
  platform::setLogToStderr(true);
  EXPECT_EQ(wrong.load(), 0) << "calls without their own reply";
  EXPECT_EQ(stalePush.load(), 0);
  EXPECT_EQ(m->msgId(), int64_t{kThreads} * kRequests);
  closeAndRelease(m);
  ::close(kernelFd);
}

// A hang-up or an untrusted frame ends the reader: waiters must not sit out 20 s.
TEST(CorrelationConcurrency, LosingTheStreamReleasesEveryWaiterAtOnce) {
  for (bool hangUp : {true, false}) {
    Wired wired(nullptr);  // never answers
    auto& m = *wired.manager;
    const auto t0 = Clock::now();
    std::vector<std::future<std::optional<Json>>> waiters;
    for (size_t i = 1; i <= 3; ++i) {  // one after another: the first reads for them all
      waiters.push_back(
          std::async(std::launch::async, [&m] { return m.sendActionAwait("w", 0, 20); }));
      ASSERT_TRUE(wired.peer->waitForFrames(i));
    }
    hangUp ? wired.peer->hangUp() : wired.peer->send({Json::array({1, 2})});
    for (auto& w : waiters) {
      ASSERT_EQ(w.wait_for(10s), std::future_status::ready) << hangUp;
      EXPECT_FALSE(w.get());
    }
    EXPECT_LT(secondsSince(t0), 5.0) << hangUp;
  }
}

// A frame handed to the writer at work goes with it when that writer fails:
// its caller hears at once, not at its own time-out.
TEST(CorrelationConcurrency, AFrameHandedToAWriterThatFailsFailsWithIt) {
  useSandboxRoot();
  auto m = std::make_shared<KernelProcessManager>();
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  m->setControlFdForTesting(sv[0]);
  m->startReaderLoop();
  // A kernel that stopped reading, its connection full to the last byte.
  for (const size_t n : {size_t{4096}, size_t{1}}) {
    const std::string junk(n, 'x');
    while (::send(sv[0], junk.data(), n, MSG_DONTWAIT) > 0) {
    }
  }
  std::atomic<pid_t> writerTid{0};
  auto writer = std::async(std::launch::async, [&] {
    writerTid = ::gettid();
    return m->sendActionAwait("first", 0, 2);
  });
  // Until the writer waits for room.
  ASSERT_TRUE(unit::eventually([&] {
    std::ifstream wchan("/proc/self/task/" + std::to_string(writerTid.load()) + "/wchan");
    std::string where;
    return writerTid != 0 && std::getline(wchan, where) && where.find("poll") != std::string::npos;
  }));
  const auto t0 = Clock::now();
  EXPECT_FALSE(m->sendActionAwait("second", 0, 30));
  EXPECT_LT(secondsSince(t0), 10.0);
  EXPECT_FALSE(writer.get());
  closeAndRelease(m);
  ::close(sv[1]);
}

}  // namespace
}  // namespace zelvo::controltest
