// Survival of the control connection: the kernel keeps its listener, its
// tunnels and its state when the daemon goes away, reconnects to the same
// path by itself, and needs no start-up requests afterwards.
#include "kernel_peer.h"

namespace zelvan::test {
namespace {

TEST(KernelReconnect, TunnelStreamsAndStateStaysWhileTheDaemonComesAndGoes) {
  TcpServer origin(echoHandler);
  RunningKernel k;
  KernelPeer& peer = k.peer;
  peer.ok("changeProxy", KernelPeer::choice("Proxy", "beta"));
  peer.ok("updateConfig", json{{"mode", "global"}}.dump());
  int tunnel = httpConnect(k.port, "127.0.0.1:" + std::to_string(origin.port()));
  ASSERT_GE(tunnel, 0);
  // A background stream through the tunnel for the whole test.
  std::atomic<bool> stop{false}, broken{false};
  std::atomic<long> rounds{0};
  std::thread streamer([&] {
    std::string chunk(16384, 's');
    while (!stop) {
      if (!echoes(tunnel, chunk)) {
        broken = true;
        return;
      }
      rounds++;
    }
  });
  auto movedSince = [&](long before) { return eventually([&] { return rounds.load() > before; }); };

  // The daemon dies: its connection and listening socket are gone.
  long before = rounds.load();
  peer.stopListening();  // first, or the kernel may slip into the old backlog
  peer.dropConnection();
  std::this_thread::sleep_for(milliseconds(500));
  ASSERT_TRUE(peer.alive());
  EXPECT_TRUE(movedSince(before)) << "no data moved while the daemon was away";
  int fresh = socks5Connect(k.port, 1, "127.0.0.1", origin.port());
  EXPECT_GE(fresh, 0) << "listener stopped accepting while disconnected";
  EXPECT_TRUE(fresh >= 0 && echoes(fresh, "new while away"));
  closeFd(fresh);

  // A new daemon listens at the same path: the kernel comes back by itself.
  peer.listen();
  auto t0 = Clock::now();
  ASSERT_TRUE(peer.accept(milliseconds(3000))) << "kernel did not reconnect";
  EXPECT_LT(secondsSince(t0), 1.0);

  // No start-up requests: everything is as it was.
  json cfg = peer.query("getConfig");
  EXPECT_EQ(cfg["mode"], "global");
  EXPECT_EQ(cfg["mixed-port"], k.port);
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");
  // The tunnel opened before the restart is still listed (the second one,
  // closed meanwhile, leaves the list once its thread has noticed).
  EXPECT_TRUE(eventually([&] { return peer.query("getConnections")["connections"].size() == 1; }));
  EXPECT_EQ(peer.countInLog("recv initCore"), 1);
  EXPECT_EQ(peer.countInLog("control: reconnected to " + peer.socketPath()), 1);

  // Dropped connections with the listening socket still there: back at once.
  for (int i = 0; i < 5; ++i) {
    before = rounds.load();
    peer.dropConnection();
    ASSERT_TRUE(peer.accept(milliseconds(3000))) << "round " << i;
    peer.ok("getMemory");
    EXPECT_TRUE(movedSince(before)) << "no data moved during round " << i;
  }

  // Start-up requests are still tolerated and keep the selection.
  before = rounds.load();
  peer.drive(yamlConfig(k.port));
  EXPECT_EQ(peer.query("getProxies")["proxies"]["Proxy"]["now"], "beta");
  EXPECT_TRUE(movedSince(before)) << "no data moved after a second drive";
  stop = true;
  streamer.join();
  EXPECT_FALSE(broken.load());
  closeFd(tunnel);
}

}  // namespace
}  // namespace zelvan::test
