// The kernel under concurrent load: pipelined control requests of every kind
// (including reloads, selections, delay tests and closeConnections) while
// client threads open, use and drop tunnels. Each request must be answered
// once by id, and the kernel's log must stay free of sanitizer reports (this
// file also runs with the kernel built under ThreadSanitizer).
#include "kernel_peer.h"

namespace zelvan::test {
namespace {

TEST(KernelConcurrency, PipelinedRequestsWhileTunnelsComeAndGo) {
  TcpServer origin(echoHandler);
  RunningKernel k;
  std::atomic<bool> stop{false};
  std::atomic<int> completed{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      while (!stop) {
        int fd = t % 2 ? httpConnect(k.port, "127.0.0.1:" + std::to_string(origin.port()))
                       : socks5Connect(k.port, 1, "127.0.0.1", origin.port());
        // closeConnections may cut a tunnel at any point; that is no error.
        if (fd >= 0 && echoes(fd, std::string(8192, static_cast<char>('a' + t)))) completed++;
        closeFd(fd);
      }
    });
  }

  const std::string url = "http://127.0.0.1:" + std::to_string(origin.port());
  const json reload = json{{"selected-map", json::object()}, {"config", yamlConfig(k.port)}}.dump();
  const std::pair<const char*, json> round[] = {
      {"getConnections", ""},     {"getTraffic", false},
      {"getTotalTraffic", false}, {"changeProxy", ""},  // payload below
      {"closeConnections", ""},   {"getProxies", ""},
      {"setupConfig", reload},    {"asyncTestDelay", json{{"url", url}, {"timeout", 2000}}.dump()}};
  std::vector<std::pair<std::string, std::string>> sent;  // id, method
  for (int i = 0; i < 240; ++i) {
    auto [method, data] = round[i % 8];
    if (i % 8 == 3) data = KernelPeer::choice("Proxy", i % 16 == 3 ? "beta" : "alpha");
    sent.emplace_back(k.peer.send(method, data), method);
    if (i % 8 == 7) std::this_thread::sleep_for(milliseconds(20));
  }
  for (const auto& [id, method] : sent) {
    auto reply = k.peer.awaitReply(id, milliseconds(20000));
    ASSERT_TRUE(reply) << method << " id " << id << " unanswered";
    EXPECT_EQ((*reply)["code"], 0) << method << ": " << reply->dump();
  }
  stop = true;
  for (auto& c : clients) c.join();
  EXPECT_GT(completed.load(), 0);
  for (const json& p : k.peer.pushes()) EXPECT_EQ(p["method"], "message");
  EXPECT_EQ(k.peer.pushes().size(), 30u * 3u) << "one push per proxy per delay test";
  EXPECT_TRUE(k.peer.alive());
}

}  // namespace
}  // namespace zelvan::test
