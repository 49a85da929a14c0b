// Two hundred clients at once, a hundred requests each, against the real
// daemon: every call answered, and each with its own reply. The operations
// are mixed so that a reply delivered to the wrong call cannot go unnoticed
// (each has a different reply shape or value).
#include <barrier>

#include "client/helper_client.h"
#include "platform/dispatch.h"
#include "service_test_support.h"

namespace zelvo::testing {
namespace {

TEST(ManyClients, TwoHundredClientsAHundredRequestsEach) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  constexpr int kClients = 200;
  constexpr int kRequests = 100;
  std::atomic<int> answered{0}, wrong{0}, failed{0};
  std::barrier start(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      HelperClient client(root.socketPath());
      client.setTimeout(platform::Seconds(120));
      start.arrive_and_wait();
      for (int i = 0; i < kRequests; ++i) {
        bool ok = true, good = true;
        switch ((c + i) % 4) {
          case 0: {
            auto r = client.getVersion();
            ok = r.ok();
            good = ok && *r == "1.0.5";
            break;
          }
          case 1: {
            auto r = client.getKernelVersion();
            ok = r.ok();
            good = ok && !r->has_value();
            break;
          }
          case 2: {
            auto r = client.getTrafficStats();
            ok = r.ok();
            good = ok && *r == TrafficStats{};
            break;
          }
          case 3: {
            auto r = client.getProxyStatus();
            ok = r.ok();
            good = ok && r->has_value() && **r == ProxyStatus::stoppedRecord();
            break;
          }
        }
        if (!ok) {
          ++failed;
        } else if (!good) {
          ++wrong;
        } else {
          ++answered;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), kClients * kRequests);
  EXPECT_TRUE(daemon.running());
  EXPECT_EQ(daemon.countLog("Accepted new connection"), size_t(kClients));
}

// The same at the wire level with pipelining: each raw connection sends all
// its requests before reading, with its own seq numbers, and must get back
// exactly its own seqs.
TEST(ManyClients, PipelinedRequestsComeBackToTheirOwnConnection) {
  SandboxRoot root;
  DaemonProcess daemon(root);
  constexpr int kClients = 50;
  constexpr int kRequests = 100;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      RawConnection conn(root.socketPath());
      std::set<uint64_t> expected;
      for (int i = 0; i < kRequests; ++i) {
        uint64_t seq = uint64_t(c) * 1'000'000 + uint64_t(i) + 1;
        expected.insert(seq);
        conn.request(seq, "getKernelVersionWithCompletion:", platform::IpcValue::array());
      }
      for (int i = 0; i < kRequests; ++i) {
        auto r = conn.next(std::chrono::seconds(60));
        if (!r || !expected.erase((*r)["seq"].get<uint64_t>())) ++mismatches;
      }
      if (!expected.empty()) ++mismatches;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace zelvo::testing
