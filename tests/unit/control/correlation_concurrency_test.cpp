// Many callers on one control connection at once: every caller gets its own
// reply, frames never interleave, pushes are recorded while callers read
// them, and closing under load releases everyone.
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
// shuffled order, so replies routinely overtake each other. Each reply to
// "t/i" follows a pushed delay of i for the name "t".
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
      const std::string data = r["data"];
      const size_t slash = data.find('/');
      const std::string push =
          delayPush(data.substr(0, slash), std::stoi(data.substr(slash + 1))).dump();
      const std::string reply = replyTo(r, {{"code", 0}, {"data", "re:" + data}}).dump();
      if (!sendRawFrame(fd, push) || !sendRawFrame(fd, reply)) return;
    }
    batch.clear();
  }
}

TEST(CorrelationConcurrency, SixteenCallersGetTheirOwnRepliesAndSeeTheirPushes) {
  QuietLog quiet;
  Wired wired;
  std::atomic<int> badFrames{0};
  const int kernelFd = wired.peerFd;
  std::thread kernel([&] { answerShuffled(kernelFd, badFrames); });

  constexpr int kThreads = 16, kRequests = 1000;
  std::atomic<int> wrong{0}, missing{0}, stalePush{0};
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
        // The map is read here while the reader loop writes it.
        const auto delays = wired.manager->pushedDelays();
        const auto d = delays.find(std::to_string(t));
        if (d == delays.end() || d->second != i) ++stalePush;
      }
    });
  }
  for (auto& c : callers) c.join();
  ::shutdown(kernelFd, SHUT_RDWR);
  kernel.join();

  EXPECT_EQ(missing.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(stalePush.load(), 0);
  EXPECT_EQ(badFrames.load(), 0);
  EXPECT_EQ(wired.manager->msgId(), int64_t{kThreads} * kRequests);
  EXPECT_EQ(wired.manager->pushedDelays().size(), size_t{kThreads});
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

}  // namespace
}  // namespace zelvo::controltest
