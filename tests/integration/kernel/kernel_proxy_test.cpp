// Real traffic through the kernel's mixed listener to loopback servers in the
// test: HTTP CONNECT, plain HTTP forwarding and SOCKS5, the traffic counters,
// the connection list and closeConnections, routing to REJECT, resource
// limits, descriptor hygiene, and delay tests.
#include <set>

#include "kernel_peer.h"

namespace zelvan::test {
namespace {

std::string authorityOf(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

TEST(KernelProxy, BytesThroughAConnectTunnelAreTheTrafficCounters) {
  constexpr size_t kDown = 3 * 1024 * 1024 + 123;
  TcpServer origin(sourceHandler(kDown));
  RunningKernel k;
  json before = k.peer.query("getTotalTraffic", false);
  EXPECT_EQ(before["up"], 0);
  EXPECT_EQ(before["down"], 0);

  int fd = httpConnect(k.port, authorityOf(origin.port()));
  ASSERT_GE(fd, 0);
  std::string up(4321, 'u');
  ASSERT_TRUE(sendAll(fd, up));
  std::string got;
  ASSERT_TRUE(recvExactly(fd, got, kDown));
  EXPECT_TRUE(waitForEof(fd, milliseconds(3000)));
  closeFd(fd);

  // Counted once the relay has moved them; give the kernel a moment.
  json total;
  eventually([&] {
    total = k.peer.query("getTotalTraffic", false);
    return total["up"] == up.size() && total["down"] == kDown;
  });
  EXPECT_EQ(total["up"], up.size());
  EXPECT_EQ(total["down"], kDown);

  // The rate covers the last second: high right after, zero when idle.
  json rate = k.peer.query("getTraffic", false);
  EXPECT_GT(rate["down"].get<long long>(), 0);
  EXPECT_LE(rate["down"].get<long long>(), static_cast<long long>(kDown));
  std::this_thread::sleep_for(milliseconds(1500));
  rate = k.peer.query("getTraffic", false);
  EXPECT_EQ(rate["down"], 0);
  EXPECT_EQ(rate["up"], 0);
}

TEST(KernelProxy, Socks5ConnectsToIpv4Ipv6AndDomainAddresses) {
  TcpServer origin4(echoHandler);
  TcpServer origin6(echoHandler, AF_INET6);
  RunningKernel k;
  struct Case {
    int atyp;
    std::string host;
    uint16_t port;
  };
  for (const Case& c : {Case{1, "127.0.0.1", origin4.port()}, Case{4, "::1", origin6.port()},
                        Case{3, "localhost", origin4.port()}}) {
    int code = -1;
    int fd = socks5Connect(k.port, c.atyp, c.host, c.port, &code);
    ASSERT_GE(fd, 0) << "atyp " << c.atyp << " reply " << code;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(echoes(fd, "through socks atyp " + std::to_string(c.atyp)));
    closeFd(fd);
  }
  // A refused destination is reported with SOCKS reply 5.
  int code = -1;
  int fd = socks5Connect(k.port, 1, "127.0.0.1", freePort(), &code);
  EXPECT_LT(fd, 0);
  EXPECT_EQ(code, 5);
}

TEST(KernelProxy, PlainHttpRequestsAreForwardedInOriginForm) {
  TcpServer origin(httpOriginHandler);
  RunningKernel k;
  int fd = connectLoopback(k.port);
  ASSERT_GE(fd, 0);
  std::string req = "GET http://" + authorityOf(origin.port()) +
                    "/path/x?q=1 HTTP/1.1\r\nHost: " + authorityOf(origin.port()) +
                    "\r\nProxy-Connection: keep-alive\r\nX-Test: yes\r\n\r\n";
  ASSERT_TRUE(sendAll(fd, req));
  std::string resp;
  char buf[4096];
  for (ssize_t n; (n = recvSome(fd, buf, sizeof buf, milliseconds(5000))) > 0;)
    resp.append(buf, static_cast<size_t>(n));
  closeFd(fd);
  EXPECT_EQ(resp.rfind("HTTP/1.1 200 OK", 0), 0u) << resp;
  EXPECT_NE(resp.find("origin saw: GET /path/x?q=1 HTTP/1.1\r\n"), std::string::npos) << resp;
  EXPECT_NE(resp.find("X-Test: yes"), std::string::npos);
  EXPECT_EQ(resp.find("Proxy-Connection"), std::string::npos)
      << "proxy headers must not reach the origin";

  // An origin-form request is no proxy request.
  fd = connectLoopback(k.port);
  ASSERT_TRUE(sendAll(fd, "GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string status;
  ASSERT_TRUE(recvExactly(fd, status, 12));
  EXPECT_EQ(status, "HTTP/1.1 400");
  closeFd(fd);
}

TEST(KernelProxy, ConnectionsAreListedAndCloseConnectionsCutsThem) {
  TcpServer origin(echoHandler);
  RunningKernel k;
  int a = httpConnect(k.port, authorityOf(origin.port()));
  int b = socks5Connect(k.port, 1, "127.0.0.1", origin.port());
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_TRUE(echoes(a, "hello a"));
  ASSERT_TRUE(echoes(b, "hello b"));

  json list = k.peer.query("getConnections")["connections"];
  ASSERT_EQ(list.size(), 2u) << list.dump();
  std::set<std::string> types;
  for (const json& c : list) {
    types.insert(c["metadata"]["type"].get<std::string>());
    EXPECT_EQ(c["metadata"]["destinationPort"], std::to_string(origin.port()));
    EXPECT_EQ(c["chains"], json::array({"alpha", "Proxy"}))
        << "rule mode goes through the first group";
  }
  EXPECT_EQ(types, (std::set<std::string>{"HTTP Connect", "Socks5"}));

  auto reply = k.peer.call("closeConnections", "");
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["code"], 0);
  EXPECT_TRUE(waitForEof(a, milliseconds(2000))) << "tunnel a still open";
  EXPECT_TRUE(waitForEof(b, milliseconds(2000))) << "tunnel b still open";
  closeFd(a);
  closeFd(b);
  EXPECT_TRUE(eventually([&] { return k.peer.query("getConnections")["connections"].empty(); }));

  // The listener itself stays up.
  int c = httpConnect(k.port, authorityOf(origin.port()));
  ASSERT_GE(c, 0);
  EXPECT_TRUE(echoes(c, "after close"));
  closeFd(c);
}

TEST(KernelProxy, ModeAndSelectionDecideTheRoute) {
  TcpServer origin(echoHandler);
  RunningKernel k;
  auto chainOfNewTunnel = [&]() -> json {
    int fd = httpConnect(k.port, authorityOf(origin.port()));
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(echoes(fd, "x"));
    json list = k.peer.query("getConnections")["connections"];
    closeFd(fd);
    return list.empty() ? json() : list.back()["chains"];
  };
  k.peer.ok("changeProxy", KernelPeer::choice("Proxy", "beta"));
  EXPECT_EQ(chainOfNewTunnel(), json::array({"beta", "Proxy"}));
  k.peer.ok("updateConfig", json{{"mode", "direct"}}.dump());
  EXPECT_EQ(chainOfNewTunnel(), json::array({"DIRECT"}));

  // Global mode through a group whose selection is REJECT: refused.
  k.peer.ok("updateConfig", json{{"mode", "global"}}.dump());
  k.peer.ok("changeProxy", KernelPeer::choice("GLOBAL", "Block"));
  std::string status;
  EXPECT_LT(httpConnect(k.port, authorityOf(origin.port()), &status), 0);
  EXPECT_EQ(status.rfind("HTTP/1.1 403", 0), 0u) << status;
  int code = -1;
  EXPECT_LT(socks5Connect(k.port, 1, "127.0.0.1", origin.port(), &code), 0);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(origin.accepted(), 2) << "rejected connections must not reach the origin";
}

// Two slots: a third connection is refused until the idle tunnel's time-out
// frees its slot, while a busy tunnel stays open throughout.
TEST(KernelLimits, ConnectionCapAndIdleTimeOut) {
  TcpServer origin(echoHandler);
  RunningKernel k({"ZELVAN_MAX_CONNECTIONS=2", "ZELVAN_IDLE_TIMEOUT_MS=600"});
  int idle = httpConnect(k.port, authorityOf(origin.port()));
  int busy = httpConnect(k.port, authorityOf(origin.port()));
  ASSERT_GE(idle, 0);
  ASSERT_GE(busy, 0);
  auto t0 = Clock::now();
  ASSERT_TRUE(echoes(idle, "last words"));
  ASSERT_TRUE(echoes(busy, "ping"));
  int c = connectLoopback(k.port);
  ASSERT_GE(c, 0);  // the kernel accepts and closes it at once
  EXPECT_TRUE(waitForEof(c, milliseconds(500))) << "third connection was not refused";
  closeFd(c);
  EXPECT_FALSE(waitForEof(idle, milliseconds(250))) << "closed before its idle time-out";
  // Keep `busy` active every 100 ms for 1.8 s, three idle periods.
  while (secondsSince(t0) < 1.8) {
    ASSERT_TRUE(echoes(busy, "ping"))
        << "an active tunnel was closed after " << secondsSince(t0) << " s";
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(waitForEof(idle, milliseconds(100)))
      << "idle tunnel still open after " << secondsSince(t0) << " s";
  closeFd(idle);
  int d = -1;  // the slot is freed once the tunnel's thread has ended
  ASSERT_TRUE(eventually([&] {
    return (d = httpConnect(k.port, authorityOf(origin.port()))) >= 0;
  })) << "a freed slot should be usable again";
  EXPECT_TRUE(echoes(d, "slot reused"));
  closeFd(d);
  closeFd(busy);
}

TEST(KernelLimits, NoDescriptorLeaksAfterAThousandConnections) {
  TcpServer origin(echoHandler);
  TcpServer web(httpOriginHandler);
  RunningKernel k;
  // Warm up every path once so lazily opened descriptors are in the baseline.
  int w = httpConnect(k.port, authorityOf(origin.port()));
  ASSERT_TRUE(echoes(w, "warm"));
  closeFd(w);
  k.peer.query("getConnections");
  std::this_thread::sleep_for(milliseconds(200));
  int baseline = k.peer.openFdCount();

  int ok = 0;
  for (int i = 0; i < 1000; ++i) {
    std::string payload = "conn " + std::to_string(i);
    if (i % 3 == 0) {
      int fd = httpConnect(k.port, authorityOf(origin.port()));
      ok += fd >= 0 && echoes(fd, payload);
      closeFd(fd);
    } else if (i % 3 == 1) {
      int fd = socks5Connect(k.port, 1, "127.0.0.1", origin.port());
      ok += fd >= 0 && echoes(fd, payload);
      closeFd(fd);
    } else {
      int fd = connectLoopback(k.port);
      sendAll(fd, "GET http://" + authorityOf(web.port()) + "/" + std::to_string(i) +
                      " HTTP/1.1\r\n\r\n");
      ok += waitForEof(fd, milliseconds(5000));  // one response, then the origin closes
      closeFd(fd);
    }
  }
  EXPECT_EQ(ok, 1000);
  int after = -1;
  EXPECT_TRUE(
      eventually([&] { return (after = k.peer.openFdCount()) <= baseline; }, milliseconds(5000)))
      << "descriptors before " << baseline << ", after " << after;
  EXPECT_TRUE(eventually([&] { return k.peer.query("getConnections")["connections"].empty(); }));
}

// Resident kibibytes of a process ("VmRSS" or "VmHWM" of its status file).
long statusKiB(pid_t pid, const char* key) {
  std::istringstream in(zelvo::testing::procFile(pid, "status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key) + 1));
  return -1;
}

TEST(KernelLimits, BulkTunnelsGiveTheirLargeBuffersBackOnceQuiet) {
  TcpServer origin(echoHandler);
  RunningKernel k;
  constexpr int kTunnels = 8;
  constexpr size_t kChunk = 256 * 1024, kChunks = 16;
  long before = statusKiB(k.peer.pid(), "VmRSS");

  std::vector<int> fds;
  for (int i = 0; i < kTunnels; ++i) {
    fds.push_back(httpConnect(k.port, authorityOf(origin.port())));
    ASSERT_GE(fds.back(), 0);
  }
  // Every tunnel busy at once, both ways, so all of them hold their large
  // buffers at the same time.
  std::atomic<int> echoed{0};
  std::vector<std::thread> movers;
  for (int fd : fds)
    movers.emplace_back([fd, &echoed] {
      std::string chunk(kChunk, 'b'), back;
      for (size_t i = 0; i < kChunks; ++i)
        if (!sendAll(fd, chunk) || !recvExactly(fd, back, kChunk)) return;
      ++echoed;
    });
  for (auto& t : movers) t.join();
  ASSERT_EQ(echoed, kTunnels);
  long peak = statusKiB(k.peer.pid(), "VmHWM");
  // Two directions of 2 MiB each per tunnel; allow for the sanitizer's own noise.
  EXPECT_GE(peak - before, kTunnels * 2 * 1024) << "before " << before << " KiB, peak " << peak;

  // Still open, but quiet: the large buffers go back after about a second.
  long quiet = -1;
  EXPECT_TRUE(eventually(
      [&] {
        quiet = statusKiB(k.peer.pid(), "VmRSS");
        return quiet - before < kTunnels * 1024;
      },
      milliseconds(4000)))
      << "before " << before << " KiB, peak " << peak << ", quiet " << quiet;
  // And the tunnels still work, on the small buffers again.
  for (int& fd : fds) {
    EXPECT_TRUE(echoes(fd, "after the quiet spell"));
    closeFd(fd);
  }
}

TEST(KernelDelay, AsyncTestDelayMeasuresEachProxyAndPushesResults) {
  TcpServer target(echoHandler);
  RunningKernel k;
  std::string id = k.peer.send(
      "asyncTestDelay",
      json{{"url", "http://127.0.0.1:" + std::to_string(target.port()) + "/generate_204"},
           {"timeout", 2000}}
          .dump());
  auto reply = k.peer.awaitReply(id, milliseconds(10000));
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["code"], 0);
  json summary = json::parse((*reply)["data"].get<std::string>());

  // One push per proxy (REJECT excluded), each without an id, before the reply.
  json pushed = json::object();
  for (json p : k.peer.pushes()) {  // a copy: a missing member reads as null
    EXPECT_EQ(p, (json{{"method", "message"},
                       {"data", {{"type", "delay"}, {"data", p["data"]["data"]}}}}));
    pushed[p["data"]["data"]["name"].get<std::string>()] = p["data"]["data"]["value"];
  }
  EXPECT_EQ(k.peer.pushes().size(), 3u);
  EXPECT_EQ(pushed, summary) << "the reply sums up the pushes";
  for (const char* name : {"DIRECT", "alpha", "beta"}) {
    EXPECT_GE(pushed.value(name, 0), 1) << name;
    EXPECT_LT(pushed.value(name, 0), 2000) << name;
  }
  EXPECT_TRUE(eventually([&] { return target.accepted() >= 3; }))
      << "each measurement is a real connection";
  // getProxies shows the latest delay in each proxy's history.
  EXPECT_EQ(k.peer.query("getProxies")["proxies"]["alpha"]["history"][0]["delay"], pushed["alpha"]);

  // A group limits the test to its members; a closed port measures 0.
  k.peer.pushes().clear();
  uint16_t closed = freePort();
  reply =
      k.peer.call("asyncTestDelay",
                  json{{"url", "127.0.0.1:" + std::to_string(closed)}, {"name", "Block"}}.dump());
  ASSERT_TRUE(reply);
  ASSERT_EQ(k.peer.pushes().size(), 1u);
  EXPECT_EQ(k.peer.pushes()[0]["data"]["data"]["name"], "DIRECT");
  EXPECT_EQ(k.peer.pushes()[0]["data"]["data"]["value"], 0);

  reply = k.peer.call("asyncTestDelay",
                      json{{"url", "http://127.0.0.1:1/"}, {"name", "nobody"}}.dump());
  ASSERT_TRUE(reply);
  EXPECT_NE((*reply)["code"], 0);
}

}  // namespace
}  // namespace zelvan::test
