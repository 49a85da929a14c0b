// Many callers on one control connection at once: every caller gets its own
// reply, frames never interleave, and closing under load releases everyone.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <random>

#include "control_peer.h"

namespace zelvo::controltest {
namespace {

// Keeps 16 concurrent callers' lines off standard error; they are checked
// through the capture where needed.
struct QuietLog {
  QuietLog() { platform::setLogToStderr(false); }
  ~QuietLog() { platform::setLogToStderr(true); }
};

// A kernel that gathers whatever requests are waiting and answers them in a
// shuffled order, so replies routinely overtake each other.
void answerShuffled(int fd, std::atomic<int>& badFrames) {
  std::mt19937 rng(12345);
  std::vector<Json> batch;
  for (;;) {
    std::optional<std::string> body = readRawFrame(fd);
    if (!body) break;
    Json request = Json::parse(*body, nullptr, false);
    if (!request.is_object() || !request["id"].is_string() || !request["data"].is_string()) {
      ++badFrames;  // an interleaved or torn frame would land here
      continue;
    }
    batch.push_back(std::move(request));
    pollfd p{fd, POLLIN, 0};
    if (batch.size() < 16 && ::poll(&p, 1, 1) > 0) continue;  // more are on the way
    std::shuffle(batch.begin(), batch.end(), rng);
    for (const Json& r : batch) {
      const std::string reply =
          replyTo(r, {{"code", 0}, {"data", "re:" + r["data"].get<std::string>()}}).dump();
      if (!sendRawFrame(fd, reply)) return;
    }
    batch.clear();
  }
}

TEST(CorrelationConcurrency, SixteenCallersGetTheirOwnRepliesInShuffledOrder) {
  QuietLog quiet;
  Wired wired;
  std::atomic<int> badFrames{0};
  const int kernelFd = wired.peerFd;
  std::thread kernel([&] { answerShuffled(kernelFd, badFrames); });

  constexpr int kThreads = 16, kRequests = 1000;
  std::atomic<int> wrong{0}, missing{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        const std::string mine = std::to_string(t) + "/" + std::to_string(i);
        auto reply = wired.manager->sendActionAwait("echo", mine, 60);
        if (!reply) {
          ++missing;
        } else if ((*reply)["data"] != "re:" + mine) {
          ++wrong;
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  ::shutdown(kernelFd, SHUT_RDWR);
  kernel.join();

  EXPECT_EQ(missing.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(badFrames.load(), 0);
  EXPECT_EQ(wired.manager->msgId(), int64_t{kThreads} * kRequests);
}

TEST(CorrelationConcurrency, ClosingUnderLoadReleasesEveryCaller) {
  QuietLog quiet;
  Wired wired;
  // A kernel that reads everything and answers nothing.
  auto peer = wired.peer(nullptr);
  platform::LogCapture capture;

  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::future<void>> callers;
  for (int t = 0; t < 8; ++t) {
    callers.push_back(std::async(std::launch::async, [&] {
      while (!stop.load()) {
        if (wired.manager->sendActionAwait("hang", "", 30)) ++answered;
      }
    }));
  }
  ASSERT_TRUE(peer->waitForFrames(8, 10));
  const auto t0 = Clock::now();
  wired.manager->closeControlSocket();
  stop = true;
  for (auto& c : callers)
    ASSERT_EQ(c.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_LT(secondsSince(t0), 5.0);
  EXPECT_EQ(answered.load(), 0);
  EXPECT_TRUE(peer->waitForEndOfStream(5));
  EXPECT_TRUE(waitForMessage(capture, "reader loop 结束", 5));
}

TEST(CorrelationConcurrency, PushesAndRepliesInterleaveWithReaders) {
  QuietLog quiet;
  Wired wired;
  auto peer = wired.peer([](const Json& req) -> std::vector<Json> {
    // Each reply is preceded by a pushed delay for a name of its own.
    const std::string d = req["data"];
    return {Json{{"method", "message"},
                 {"data", {{"type", "delay"}, {"data", {{"name", d}, {"value", 1.5}}}}}},
            replyTo(req, {{"code", 0}, {"data", d}})};
  });
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const std::string name = "p" + std::to_string(t) + "-" + std::to_string(i);
        auto r = wired.manager->sendActionAwait("m", name, 30);
        if (!r || (*r)["data"] != name) ++wrong;
        // Readers of the map run alongside the reader loop writing it.
        if (wired.manager->pushedDelays().count(name) != 1) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(wired.manager->pushedDelays().size(), 400u);
}

}  // namespace
}  // namespace zelvo::controltest
