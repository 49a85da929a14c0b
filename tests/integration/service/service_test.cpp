// The daemon as its clients meet it: the wire format spoken by a foreign
// client, the read-only requests of an idle daemon, its log lines, bad input
// that closes only its own connection, zelvoctl, and a client whose daemon
// goes away.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>

#include "kernel/kernel_process_manager.h"
#include "support/scenario.h"

namespace zelvo::testing {
namespace {

using Service = Scenario;

TEST_F(Service, AForeignClientIsAnsweredInTheWireFormat) {
  startDaemon();
  WireClient wire(socketPath());
  // Pipelined requests; replies may come in any order, matched by seq.
  wire.send(WireClient::request(7, "getVersionWithCompletion:", Json::array()));
  wire.send(WireClient::request(8, "getProxyStatusWithCompletion:", Json::array()));
  wire.send(WireClient::request(9, "getKernelVersionWithCompletion:", Json::array()));
  wire.send(WireClient::request(10, "getTrafficStatsWithCompletion:", Json::array()));
  std::map<int, Json> replies;
  for (int i = 0; i < 4; ++i) {
    const Json r = wire.receive();
    ASSERT_TRUE(r.is_object());
    replies[r["seq"].get<int>()] = r["reply"];
  }
  EXPECT_EQ(replies[7], Json::array({"1.0.5 (zelvan-core)"}));
  EXPECT_EQ(replies[8], Json::parse(R"([{"$class":"ProxyStatus","isRunning":false,"httpPort":0,
      "socksPort":0,"mode":"","uplink":0,"downlink":0}])"));
  EXPECT_EQ(replies[9], Json::array({"zelvan-core"}));
  EXPECT_EQ(replies[10], Json::array({0, 0, 0, 0}));

  // Every line but the two start-up ones (the second names the installed kernel) is "[Helper]
  // YYYY-MM-DD HH:MM:SS: message"; each connection is logged with the client's own process id.
  const std::regex line(R"(\[(Helper|Kernel)\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: .+)");
  for (const auto& l : log()) {
    if (l.rfind("[Helper] Started", 0) != 0 && l != "[Helper] 内核 version: zelvan-core") {
      EXPECT_TRUE(std::regex_match(l, line)) << l;
    }
  }
  EXPECT_EQ(countLog("Accepted new connection (client pid=" + std::to_string(::getpid()) + ")"),
            1u);
  EXPECT_EQ(countLog("getVersion called"), 1u);
}

TEST_F(Service, CallsToAStalledKernelGiveUpInTimeAndFailAtOnceWhenTheDaemonDies) {
  startDaemon({}, {{"ZELVAN_SILENT_METHODS", "closeConnections"}});
  ASSERT_NE(startKernel(), 0);
  // A mode change waits for the kernel to close its connections, 3 s at most.
  const auto changed = Clock::now();
  EXPECT_TRUE(*client().setRouteMode("global"));
  EXPECT_NEAR(secondsBetween(changed, Clock::now()), 3.75, 0.75);
  // A status call waits for the kernel; the kernel held still keeps it pending.
  ASSERT_EQ(::kill(kernelPid(), SIGSTOP), 0);
  // A status call gives up 2 s after it was asked, with a running record and
  // no counters; a traffic call, whose two kernel calls run one after the
  // other, after 4 s with four zeros.
  std::vector<std::pair<double, std::future<double>>> calls;  // expected, taken
  auto ask = [&](double expected, bool traffic) {
    auto done = std::make_shared<std::promise<double>>();
    calls.emplace_back(expected, done->get_future());
    auto took = [done, asked = Clock::now()](bool stalled) {
      done->set_value(stalled ? secondsBetween(asked, Clock::now()) : -1);
    };
    if (traffic) {
      client().getTrafficStats([took](auto r) { took(r.ok() && *r == TrafficStats{}); });
    } else {
      client().getProxyStatus(
          [took](auto r) { took(r.ok() && r->has_value() && (*r)->isRunning && !(*r)->uplink); });
    }
  };
  ask(2, false);
  ask(4, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ask(2, false);
  for (auto& [expected, took] : calls) {
    ASSERT_EQ(took.wait_for(std::chrono::seconds(6)), std::future_status::ready);
    EXPECT_NEAR(took.get(), expected + 0.25, 0.35);  // from 0.1 s early to 0.6 s late
  }
  EXPECT_TRUE(logInOrder({"→ getTotalTraffic", "→ getTotalTraffic", "← getTotalTraffic 超时",
                          "← getTotalTraffic 超时"}));
  std::promise<Result<std::optional<ProxyStatus>>> pending;
  client().getProxyStatus([&](auto r) { pending.set_value(std::move(r)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto killed = Clock::now();
  killDaemon();
  auto future = pending.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_LT(secondsBetween(killed, Clock::now()), 1.0);
  EXPECT_FALSE(future.get().ok());
}

TEST_F(Service, AClientThatStopsReadingHoldsUpNoOtherStatusCall) {
  startDaemon();
  const uint16_t port = startKernel();
  // Traffic first, so that the kernel's answers (counters above 0) tell
  // apart from calls that gave up (counters 0).
  EchoServer echo;
  const int tunnel = socks5Tunnel(port, echo.port());
  ASSERT_TRUE(echoes(tunnel, "counted"));
  ::close(tunnel);
  // Status requests by the thousand whose replies are never read: the
  // daemon's socket to this client fills up.
  WireClient flood(socketPath());
  std::string burst;
  for (int i = 1; i <= 3000; ++i) {
    burst += WireClient::request(i, "getProxyStatusWithCompletion:", Json::array());
  }
  std::thread sender([&] { flood.send(burst); });
  // Once the kernel has read every request the daemon sent it, another
  // client's calls are answered by the kernel, not given up on after 2 s.
  // (A daemon whose reader waits on the flooding client never gets there,
  // until its 10 s write stall ends.)
  size_t received = 0;
  eventually(
      [&] {
        const size_t now = kernelReceived("getTotalTraffic");
        return std::exchange(received, now) == now && now == countLog("→ getTotalTraffic");
      },
      15, 1.0);  // still for a second: a loaded machine may pause the daemon for a moment
  for (int i = 0; i < 5; ++i) {
    const auto asked = Clock::now();
    const auto s = client().getProxyStatus();
    EXPECT_TRUE(s.ok() && s->has_value() && (*s)->isRunning && (*s)->uplink > 0);
    EXPECT_LT(secondsBetween(asked, Clock::now()), 5.0);
  }
  // However many requests wait for the kernel or the client, they hold a few threads, not one each.
  std::map<std::string, int> named;  // which queue a crowd belongs to, should it fail
  int threads = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(daemonPid()) + "/task")) {
    const std::string comm = readFile(task.path().string() + "/comm");
    ++named[comm.substr(0, comm.find('\n'))], ++threads;
  }
  EXPECT_LT(threads, 40) << ::testing::PrintToString(named);
  sender.join();
}

TEST_F(Service, ZelvoctlSpeaksForTheClientAndNamesAnUnreachableHelper) {
  const auto unreachable = runProgram({ZELVOCTL_BIN, "--root", root(), "version"});
  EXPECT_EQ(unreachable.exitCode, 2);
  EXPECT_NE(unreachable.err.find(socketPath()), std::string::npos) << unreachable.err;
  EXPECT_EQ(std::count(unreachable.err.begin(), unreachable.err.end(), '\n'), 1) << unreachable.err;
  startDaemon();
  const auto version = runProgram({ZELVOCTL_BIN, "--root", root(), "version"});
  EXPECT_EQ(std::pair(version.exitCode, version.out),
            std::pair(0, std::string("1.0.5 (zelvan-core)\n")));
  EXPECT_EQ(runProgram({ZELVOCTL_BIN, "--root", root(), "mode"}).exitCode, 64);
  EXPECT_EQ(countLog("Accepted new connection"), 1u);  // a usage error never connects
  // A socket that root does not own is not the helper's: the client refuses it.
  ASSERT_EQ(::chown(socketPath().c_str(), 65534, 65534), 0);
  const auto foreign = runProgram({ZELVOCTL_BIN, "--root", root(), "version"});
  EXPECT_NE(foreign.err.find("is not served by uid 0"), std::string::npos) << foreign.err;
  // Nor is one that root owns but another user listens on.
  ASSERT_EQ(::unlink(socketPath().c_str()), 0);
  const int impostor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  socketPath().copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(impostor, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const pid_t listener = ::fork();  // it stops once it listens: connecting needs no more
  if (listener == 0) ::_exit(::setuid(65534) || ::listen(impostor, 4) || ::raise(SIGSTOP));
  ASSERT_EQ(::waitpid(listener, nullptr, WUNTRACED), listener);  // stopped (or failed: no refusal)
  const auto impersonated = runProgram({ZELVOCTL_BIN, "--root", root(), "version"});
  ::kill(listener, SIGKILL), ::waitpid(listener, nullptr, 0), ::close(impostor);
  EXPECT_NE(impersonated.err.find("is not served by uid 0"), std::string::npos) << impersonated.err;
  EXPECT_EQ(countLog("Accepted new connection"), 1u);
}

TEST_F(Service, ASocketHandedOverIsServedInPlaceAndOneMeantForAnotherProcessIsNot) {
  std::filesystem::create_directories(at("/var/run"));
  for (const bool foreign : {false, true}) {
    SCOPED_TRACE(foreign ? "LISTEN_PID of another process" : "LISTEN_PID of the daemon");
    ::unlink(socketPath().c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    socketPath().copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    struct stat handed {};
    ::stat(socketPath().c_str(), &handed);
    setLaunch({{}, fd, foreign});
    if (foreign) {
      // Nor is it bound anew from under the process that listens on it (a
      // socket unit waiting to start the helper): the daemon leaves, saying why.
      EXPECT_THROW(startDaemon(), std::runtime_error);
      EXPECT_EQ(countLog(socketPath() + " (another process listens there)"), 1u);
    } else {
      startDaemon();
      EXPECT_TRUE(client().getVersion().ok());
      killDaemon();
    }
    ::close(fd);
    struct stat served {};
    ::stat(socketPath().c_str(), &served);
    // Served in place, not bound anew: the file is still the one handed over.
    EXPECT_EQ(served.st_ino, handed.st_ino);
    EXPECT_EQ(countLog("IPC: serving the socket handed over by the service manager"), 1u);
  }
}

// Started with standard input and output closed (standard error carries the
// log), SIGCHLD and SIGHUP ignored, SIGTERM blocked and a descriptor left
// open, the daemon's own descriptors do not take those numbers, SIGCHLD and
// SIGTERM do not stay so, it keeps no directory busy and its kernel inherits
// none of it. Neither may dump core: the configuration would reach the disk.
TEST_F(Service, StartsSafeFromWhatItInheritsAndNeverDumpsCore) {
  const std::string wrapper = root() + "/closed-streams";
  writeFile(wrapper,
            "#!/bin/bash\ntrap '' CHLD HUP\nexec 7<\"$0\" <&- >&- env --block-signal=TERM " +
                std::string(ZELVO_HELPER_BIN) + " \"$@\"\n",
            0755);
  setLaunch({wrapper});
  startDaemon();
  EXPECT_TRUE(client().getVersion().ok());
  startKernel();
  const auto proc = [](pid_t pid, const char* f) { return "/proc/" + std::to_string(pid) + f; };
  const auto mask = [](pid_t pid, const char* field) {
    const std::string status = procFile(pid, "status");
    return std::stoull(status.substr(status.find(field) + 7), nullptr, 16);
  };
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const char* fd : {"0", "1"}) {
    EXPECT_EQ(fs::read_symlink(proc(daemonPid(), "/fd/") + fd, ec), "/dev/null") << fd;
  }
  EXPECT_EQ(mask(daemonPid(), "SigIgn:") & (1ull << (SIGCHLD - 1)), 0u);
  EXPECT_EQ(mask(daemonPid(), "SigBlk:"), 0u);
  EXPECT_EQ(mask(kernelPid(), "SigIgn:") & (1ull << (SIGHUP - 1)), 0u);
  EXPECT_EQ(openFds(kernelPid(), wrapper), 0);
  EXPECT_EQ(fs::read_symlink(proc(daemonPid(), "/cwd")), "/");
  EXPECT_EQ(fs::read_symlink(proc(kernelPid(), "/cwd")), dataDir() + "/work");  // its own
  for (const pid_t pid : {daemonPid(), kernelPid()}) {
    const std::regex noCore("Max core file size +0 +0 ");
    EXPECT_TRUE(std::regex_search(procFile(pid, "limits"), noCore));
  }
}

TEST_F(Service, ThePackageHoldsTheHelperItsClientAndUnitsAndWhatItInstallsWorks) {
  const std::string out = root() + "/package";
  const auto built = runProgram(
      {"cpack", "--config", std::string(ZELVO_BUILD_DIR) + "/CPackConfig.cmake", "-B", out}, 300);
  ASSERT_EQ(built.exitCode, 0) << built.out << built.err;
  std::string arch = runProgram({"dpkg", "--print-architecture"}).out;
  arch.erase(arch.find_last_not_of('\n') + 1);
  const std::string deb = out + "/zelvo-helper_1.0.5_" + arch + ".deb";
  std::map<std::string, std::string> modes;  // path -> "mode owner"
  for (const auto& line : splitLines(runProgram({"dpkg-deb", "-c", deb}).out)) {
    std::istringstream fields(line);
    std::string mode, owner, size, date, time, path;
    fields >> mode >> owner >> size >> date >> time >> path;
    if (mode[0] == '-') modes[path] = mode + " " + owner;
  }
  const std::map<std::string, std::string> expected{
      {"./usr/libexec/zelvo-helper/zelvo-helper", "-rwxr-xr-x root/root"},
      {"./usr/bin/zelvoctl", "-rwxr-xr-x root/root"},
      {"./lib/systemd/system/zelvo-helper.service", "-rw-r--r-- root/root"},
      {"./lib/systemd/system/zelvo-helper.socket", "-rw-r--r-- root/root"},
      {"./lib/systemd/system/zelvo-helper.path", "-rw-r--r-- root/root"},
      {"./usr/share/doc/zelvo-helper/README.md", "-rw-r--r-- root/root"},
      {"./usr/share/doc/zelvo-helper/copyright", "-rw-r--r-- root/root"},
      {"./usr/share/doc/zelvo-helper/changelog.gz", "-rw-r--r-- root/root"},
      {"./usr/share/man/man1/zelvoctl.1.gz", "-rw-r--r-- root/root"},
      {"./etc/logrotate.d/zelvo-helper", "-rw-r--r-- root/root"}};
  EXPECT_EQ(modes, expected);
  const std::string info = runProgram({"dpkg-deb", "-I", deb}).out;
  for (const char* needle : {"procps", "passwd", "postinst", "prerm", "postrm", "conffiles"}) {
    EXPECT_NE(info.find(needle), std::string::npos) << needle << " in\n" << info;
  }
  ASSERT_EQ(runProgram({"dpkg-deb", "-x", deb, out + "/x"}).exitCode, 0);
  // Any user may reach the socket; the service runs the packaged helper and stops only it.
  const std::string units = out + "/x/lib/systemd/system/zelvo-helper.";
  EXPECT_NE(readFile(units + "socket").find("\nSocketMode=0666\n"), std::string::npos);
  const std::string service = readFile(units + "service");
  EXPECT_NE(service.find("\nExecStart=/usr/libexec/zelvo-helper/zelvo-helper --root / "),
            std::string::npos);
  EXPECT_NE(service.find("\nKillMode=process\n"), std::string::npos);
  setLaunch({out + "/x/usr/libexec/zelvo-helper/zelvo-helper"});
  startDaemon();
  EXPECT_EQ(runProgram({out + "/x/usr/bin/zelvoctl", "--root", root(), "version"}).out,
            "1.0.5 (zelvan-core)\n");
  // Its rotation rule, pointed at this root, keeps the kernel's log and starts it afresh in place.
  std::string rule = readFile(out + "/x/etc/logrotate.d/zelvo-helper");
  const std::string real = "/Library/Application Support/com.zelvo.svc";
  ASSERT_NE(rule.find(real), std::string::npos) << rule;
  writeFile(out + "/rule", rule.replace(rule.find(real), real.size(), dataDir()));
  writeFile(dataDir() + "/kernel.log", "old lines\n");
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat((dataDir() + "/kernel.log").c_str(), &before), 0);
  const auto rotated = runProgram({"logrotate", "-f", "-s", out + "/state", out + "/rule"});
  EXPECT_EQ(rotated.exitCode, 0) << rotated.err;
  // The same file: the kernel's descriptor goes on writing into it.
  ASSERT_EQ(::stat((dataDir() + "/kernel.log").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(readFile(dataDir() + "/kernel.log"), "");
  EXPECT_EQ(readFile(dataDir() + "/kernel.log.1"), "old lines\n");
  // Installed, removed, installed again and purged by dpkg in a copy-on-write
  // view of this machine (its /run hidden, so nothing reaches its systemd).
  // Removal also ends a kernel the helper did not stop (here an uploaded script), and nothing
  // named near it, matched as the helper matches its kernels.
  const std::string prerm = readFile(std::string(ZELVO_SOURCE_DIR) + "/deploy/debian/prerm");
  const size_t from = prerm.find("interpreter='") + 13;
  const std::string helper =
      std::make_shared<KernelProcessManager>()->kernelMatchArguments().back();
  EXPECT_TRUE(helper.starts_with("^" + prerm.substr(from, prerm.find('\'', from) - from)))
      << helper;
  if (::geteuid() != 0) GTEST_SKIP() << "dpkg in an overlay of this machine needs root";
  const std::string core = "/Library/PrivilegedHelperTools/com.zelvo.svc.core",
                    script =
                        "/usr/bin/python3 /Library/Application Support/com.zelvo.svc/"
                        "com.zelvo.svc.core";
  // So does a helper started by hand.
  Child kernel({"bash", "-c", "exec -a '" + script + "' sleep 60"}),
      near({"bash", "-c", "exec -a '" + core + ".old' sleep 60"}),
      hand({"bash", "-c", "exec -a /usr/libexec/zelvo-helper/zelvo-helper sleep 60"});
  for (const Child* c : {&kernel, &near, &hand}) {
    ASSERT_TRUE(eventually([&] { return programOf(c->pid()).starts_with('/'); }, 5));
  }
  const std::string lifecycle = R"(set -e; export PATH=/usr/sbin:/usr/bin:/sbin:/bin; t="$1/t"
    m="$1/m"; mkdir -p "$t" "$m"; mount -t tmpfs t "$t"; mkdir "$t/u" "$t/w"
    mount -t overlay o -o "lowerdir=/,upperdir=$t/u,workdir=$t/w" "$m"; cp "$2" "$m/z.deb"
    mount -t proc p "$m/proc"; mount -t tmpfs r "$m/run"; mount --rbind /dev "$m/dev"
    touch "$m/run/com.zelvo.svc.helper.sock" "$m/run/com.zelvo.svc.helper.lock"
    for step in "-i /z.deb" "-i /z.deb" "-r zelvo-helper" "-i /z.deb" "-P zelvo-helper"; do
      chroot "$m" dpkg $step >/dev/null
      chroot "$m" sh -c 'cd /etc/systemd/system; echo $(ls -d */zelvo*) / $(find zelvo* \
        -lname /dev/null) / $(stat -c %a /Library/*/com.zelvo.svc /usr/bin/zelvoctl) \
        $(getent group zelvo | cut -d: -f1)' 2>/dev/null
    done
    chroot "$m" find /etc /var/lib/systemd /usr /Library /run -name "*zelvo*" 2>/dev/null || :)";
  const auto run = runProgram({"unshare", "-m", "bash", "-c", lifecycle, "-", out, deb}, 120);
  const std::string wants =
      "paths.target.wants/zelvo-helper.path "
      "sockets.target.wants/zelvo-helper.socket / ";
  // Installed over itself (an upgrade) it stays as it was; removal masks what it leaves enabled;
  // purging forgets both.
  const std::string installed = wants + "/ 755 755 zelvo\n";
  EXPECT_EQ(run.out, installed + installed + wants +
                         "zelvo-helper.path zelvo-helper.socket / 755 zelvo\n" + installed +
                         "/ / zelvo\n")
      << run.err;
  for (Child* c : {&kernel, &hand}) EXPECT_NE(c->wait(5), -1);
  EXPECT_TRUE(processAlive(near.pid()));
}

// What a user may look at: every file under `dir` but the kernel's and the
// daemon's logs, with its size and modification time.
std::map<std::string, std::pair<uintmax_t, int64_t>> files(const std::string& dir) {
  std::map<std::string, std::pair<uintmax_t, int64_t>> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    const auto name = e.path().filename();
    if (!e.is_regular_file() || name == "kernel.log" || name == "daemon.log") continue;
    out[e.path()] = {e.file_size(), e.last_write_time().time_since_epoch().count()};
  }
  return out;
}

class Callers : public Scenario {
 protected:
  // So that uid 65534 reaches the socket.
  void SetUp() override { ASSERT_EQ(::chmod(root().c_str(), 0755), 0); }
  // zelvoctl run as `uid` and `gid`, with `groups` (a comma-separated list)
  // as its only supplementary groups.
  ProgramOutput asCaller(const Args& command, const std::string& groups = {},
                         const std::string& uid = "65534", const std::string& gid = "65534") {
    Args argv{"setpriv",
              "--reuid=" + uid,
              "--regid=" + gid,
              groups.empty() ? "--clear-groups" : "--groups=" + groups,
              ZELVOCTL_BIN,
              "--root",
              root()};
    argv.insert(argv.end(), command.begin(), command.end());
    return runProgram(argv);
  }
};

TEST_F(Callers, AnObserverReadsStatusAndChangesNothingWhileTheOwnerGroupIsServed) {
  const group* users = ::getgrnam("users");
  ASSERT_NE(users, nullptr);
  const std::string usersGid = std::to_string(users->gr_gid);
  startDaemon({"--owner-group", "users", "--owner-uid", "65533"});
  const uint16_t port = startKernel();
  const std::string conf = "/tmp/zelvo-observer-" + std::to_string(::getpid()) + ".yaml";
  writeFile(conf, yamlConfig(port, "observer"), 0644);
  clearCalls();
  const auto before = files(root());
  const Json config = query("getConfig"), proxies = query("getProxies");
  const pid_t kernel = kernelPid();

  const std::pair<Args, std::string> refused[] = {
      {{"start", conf}, "failed: not permitted\n"},
      {{"reload", conf}, "failed: not permitted\n"},
      {{"install-kernel", conf}, "failed: not permitted\n"},
      {{"stop"}, "failed\n"},
      {{"mode", "direct"}, "failed\n"},
      {{"select", "Proxy", "node-a"}, "failed\n"},
      {{"tun", "on"}, "failed\n"},
      {{"proxy", "set", "127.0.0.1", "1", "2"}, "failed\n"},
      {{"proxy", "clear"}, "failed\n"},
      {{"flush-dns"}, "failed\n"},
      {{"uninstall"}, "failed\n"},
      {{"query", "getConfig"}, ""}};
  for (const auto& [command, out] : refused) {
    const auto r = asCaller(command);
    EXPECT_EQ(r.out, out) << command[0] << ": " << r.err;
    EXPECT_NE(r.exitCode, 0) << command[0];
  }
  EXPECT_EQ(asCaller({"version"}).out, "1.0.5 (zelvan-core)\n");
  EXPECT_NE(asCaller({"status"}).out.find("running:    yes"), std::string::npos);
  std::vector<std::future<ProgramOutput>> traffic;  // answered in rounds: fewer kernel requests
  for (int i = 0; i < 10; ++i) {
    traffic.push_back(std::async(std::launch::async, [&] { return asCaller({"traffic"}); }));
  }
  for (auto& t : traffic) EXPECT_EQ(t.get().exitCode, 0);
  EXPECT_LT(kernelReceived("getTraffic"), 10u);

  for (const char* tool : {"networksetup", "dscacheutil", "launchctl"}) {
    EXPECT_EQ(calls(tool), std::vector<Args>{}) << tool;
  }
  EXPECT_EQ(files(root()), before);
  EXPECT_EQ(kernelPid(), kernel);
  EXPECT_EQ(query("getConfig"), config);
  EXPECT_EQ(query("getProxies"), proxies);
  EXPECT_EQ(countLog("not permitted: "), std::size(refused));
  EXPECT_EQ(countLog("not permitted: stopProxyWithCompletion: (uid 65534, pid "), 1u);
  // Observers are never the watched client: theirs are gone, and a watchdog
  // period later the owner's kernel still runs.
  EXPECT_FALSE(waitLog("看门狗：主程序", 4.5));
  EXPECT_EQ(kernelPid(), kernel);

  // A member of the owner group (by a supplementary or the primary group) and
  // a listed uid are served in full.
  // (Each becomes the watched client and is gone a moment later: what they
  // ask must not need the kernel, which the watchdog may stop meanwhile.)
  EXPECT_EQ(asCaller({"flush-dns"}, usersGid).out, "ok\n");
  EXPECT_EQ(asCaller({"flush-dns"}, {}, "65534", usersGid).out, "ok\n");
  EXPECT_EQ(asCaller({"flush-dns"}, {}, "65533").out, "ok\n");
  EXPECT_EQ(calls("dscacheutil").size(), 3u);
  ::unlink(conf.c_str());
}

// 200 observers, each on its own connection, sending 64 KiB requests as fast
// as they are taken, for `seconds`. Exits 0 when every connection stayed
// open and was answered, 1 when one was closed, 2 when a frame over the limit
// was not refused, 3 when privileges could not be dropped, 4 when a
// connection got no answer.
int flood(const std::string& socketPath, double seconds) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) return 3;
  const std::string frame = WireClient::request(
      1, "kernelQueryWithMethod:data:completion:", {"getProxies", std::string(65400, 'x')});
  {
    WireClient over(socketPath);
    over.send(WireClient::request(
        1, "kernelQueryWithMethod:data:completion:", {"getProxies", std::string(65536, 'x')}));
    if (!over.closedByPeer()) return 2;
  }
  std::vector<pollfd> fds;
  std::vector<size_t> sent;
  std::vector<bool> answered(200);
  for (int i = 0; i < 200; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr{AF_UNIX, {}};
    socketPath.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 1;
    fds.push_back({fd, POLLIN | POLLOUT, 0});
    sent.push_back(0);
  }
  char sink[65536];
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    ::poll(fds.data(), fds.size(), 100);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLERR | POLLHUP)) return 1;
      if (fds[i].revents & POLLIN) {
        if (::recv(fds[i].fd, sink, sizeof sink, 0) == 0) return 1;
        answered[i] = true;
      }
      if (fds[i].revents & POLLOUT) {
        const ssize_t n =
            ::send(fds[i].fd, frame.data() + sent[i], frame.size() - sent[i], MSG_NOSIGNAL);
        if (n > 0) sent[i] = (sent[i] + size_t(n)) % frame.size();
      }
    }
  }
  return std::ranges::all_of(answered, std::identity{}) ? 0 : 4;
}

size_t residentBytes(pid_t pid) {
  std::istringstream status(procFile(pid, "status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

// An observer's requests by the thousand, a thousand of them timing out on a
// kernel that never answers them: their lines pass at a bounded rate and the
// count of the others is logged, while an owner's lines all pass.
TEST_F(Callers, AnObserverCannotFloodTheLog) {
  startDaemon({}, {{"ZELVAN_SILENT_METHODS", "getTotalTraffic"}});
  ASSERT_NE(startKernel(), 0);
  const auto began = Clock::now();
  const pid_t observer = ::fork();
  if (observer == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    WireClient wire(socketPath());
    std::string burst;
    for (int i = 1; i <= 4000; ++i) {
      burst += WireClient::request(
          i,
          i <= 3000 ? "getVersionWithCompletion:" : "getProxyStatusWithCompletion:", Json::array());
    }
    if (!wire.send(burst)) ::_exit(1);
    for (int i = 1; i <= 4000; ++i) {
      if (wire.receive().is_null()) ::_exit(2);
    }
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(observer, &status, 0), observer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const double took = secondsBetween(began, Clock::now());
  EXPECT_LT(countLog("getVersion called") + countLog("getTotalTraffic"), 210 + 50 * took)
      << took << " s";
  EXPECT_TRUE(eventually(
      [&] {
        asCaller({"version"});  // the count goes out with the next line that passes
        return countLog("log lines for restricted peers dropped") > 0;
      },
      10, 0.2));
  const size_t before = countLog("getVersion called");
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(client().getVersion().ok());
  EXPECT_EQ(countLog("getVersion called"), before + 300);
}

TEST_F(Callers, FloodsAndStalledFramesCostBoundedMemoryAndTime) {
  // No quarantine: freed memory must show as free, as in a release build.
  startDaemon({}, {{"ASAN_OPTIONS", "quarantine_size_mb=0"}});
  // A configuration whose frame the kernel could not read is refused first:
  // escaped twice on the way, a quote takes four bytes there.
  client().setTimeout(std::chrono::seconds(120));  // 10 MiB through an ASan build on a busy machine
  const auto big = client().startProxy(std::string(10u << 20, '"'));
  ASSERT_TRUE(big.ok());
  EXPECT_FALSE(big->success);
  EXPECT_EQ(big->message.value_or("").rfind("configuration too large", 0), 0u);
  EXPECT_EQ(kernelPid(), 0);
  // Caller strings reach the log escaped and cut.
  client().setRouteMode("x\n[Helper] forged " + std::string(600, 'y'));
  const auto lines = log();
  EXPECT_TRUE(
      std::ranges::none_of(lines, [](auto& l) { return l.rfind("[Helper] forged", 0) == 0; }));
  EXPECT_EQ(
      countLog("setRouteMode called: x\\n[Helper] forged " + std::string(256 - 18, 'y') + "…"), 1u);

  WireClient stalled(socketPath());
  stalled.send(WireClient::frame("\x83", 100));  // 1 of the 100 bytes announced
  const auto stalledAt = Clock::now();
  ASSERT_TRUE(client().getVersion().ok());
  const size_t idle = residentBytes(daemonPid());
  const pid_t flooder = ::fork();
  if (flooder == 0) ::_exit(flood(socketPath(), 8));
  size_t most = idle;
  int status = -1;
  while (::waitpid(flooder, &status, WNOHANG) == 0) {
    most = std::max(most, residentBytes(daemonPid()));
    EXPECT_TRUE(client().getVersion().ok());  // an owner is served all along
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(most - idle, 16u << 20) << "idle " << idle << ", at most " << most;
  std::cout << "[ memory ] idle " << idle / 1024 << " KiB, at most " << most / 1024 << " KiB\n";

  bool closed = false;
  while (!closed && secondsBetween(stalledAt, Clock::now()) < 40) closed = stalled.closedByPeer();
  const double after = secondsBetween(stalledAt, Clock::now());
  EXPECT_TRUE(closed);
  EXPECT_TRUE(after >= 29.9 && after <= 32) << after;
  EXPECT_EQ(countLog("a frame left unfinished for 30 s"), 1u);
}

// A second daemon on a served root leaves, saying why, and takes nothing
// from the first.
TEST_F(Service, ASecondDaemonOnTheSameRootLeavesTheFirstAlone) {
  startDaemon();
  const auto r = runProgram({ZELVO_HELPER_BIN, "--root", root()}, 10);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.ends_with("[Helper] Another zelvo-helper serves this root (it holds " + root() +
                              "/var/run/com.zelvo.svc.helper.lock)\n"))
      << r.err;
  EXPECT_TRUE(client().getVersion().ok());
}

}  // namespace
}  // namespace zelvo::testing
