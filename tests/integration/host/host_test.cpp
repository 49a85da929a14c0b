// The host half against the real daemon, the reference kernel and the
// stand-in tools: the system proxy, the DNS flush, the client watchdog,
// reconciliation at launch, kernel installation and helper removal, judged by
// what a client or user sees: replies, the tools' recorded calls, proxy
// settings, log lines, files under the root and kernel processes.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/scenario.h"

namespace zelvo::testing {
namespace {

namespace fs = std::filesystem;

const char* const kKinds[] = {"web", "secureweb", "socks"};

// What networksetup must be asked to point service `s` at a proxy.
std::vector<Args> onCalls(const std::string& s, const std::string& host, const std::string& http,
                          const std::string& socks) {
  return {{"-setwebproxy", s, host, http},
          {"-setsecurewebproxy", s, host, http},
          {"-setsocksfirewallproxy", s, host, socks},
          {"-setwebproxystate", s, "on"},
          {"-setsecurewebproxystate", s, "on"},
          {"-setsocksfirewallproxystate", s, "on"}};
}

// What it must be asked to switch the three proxies of each service off.
std::vector<Args> offCalls(const std::vector<std::string>& services) {
  std::vector<Args> out;
  for (const auto& s : services) {
    out.push_back({"-setwebproxystate", s, "off"});
    out.push_back({"-setsecurewebproxystate", s, "off"});
    out.push_back({"-setsocksfirewallproxystate", s, "off"});
  }
  return out;
}

class Host : public Scenario {
 protected:
  // A kernel left behind would be found by name by the next test's daemon
  // when the tests share one process.
  void TearDown() override {
    Scenario::TearDown();
    for (const pid_t pid : kernelPids()) ::kill(pid, SIGKILL);
    EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 5));
  }

  // The networksetup calls that change a setting, in order.
  std::vector<Args> settingCalls() const {
    std::vector<Args> out;
    for (auto& call : calls("networksetup")) {
      if (call.front().rfind("-set", 0) == 0) out.push_back(call);
    }
    return out;
  }

  // The messages (after "[Helper] <time>: ") from log line `from` on that
  // begin with one of `starts`.
  std::vector<std::string> messages(size_t from, const std::vector<std::string>& starts) const {
    std::vector<std::string> out;
    const auto lines = log();
    for (size_t i = from; i < lines.size(); ++i) {
      const size_t colon = lines[i].find(": ");
      if (colon == std::string::npos) continue;
      const std::string message = lines[i].substr(colon + 2);
      for (const auto& start : starts) {
        if (message.rfind(start, 0) == 0) {
          out.push_back(message);
          break;
        }
      }
    }
    return out;
  }

  bool enabled(const std::string& service, const std::string& kind) const {
    return proxyState()[service][kind]["enabled"] == true;
  }

  void presetAll(const std::vector<std::string>& services, const std::string& host) const {
    for (const auto& s : services) {
      for (const char* kind : kKinds) presetProxy(s, kind, true, host, "7890");
    }
  }

  // A `zelvoctl watch` client, once the daemon has accepted it.
  std::unique_ptr<Child> watcher() {
    auto child = std::make_unique<Child>(Args{ZELVOCTL_BIN, "--root", root(), "watch"});
    const auto pid = std::to_string(child->pid());
    EXPECT_TRUE(waitLog("Accepted new connection (client pid=" + pid + ")", 20));
    return child;
  }
};

TEST_F(Host, SystemProxyIsSwitchedOnEveryEnabledServiceAndNoOther) {
  struct Case {
    const char* services;  // as -listallnetworkservices prints them
    std::vector<std::string> enabled, disabled;
    bool reply;
    const char *setLine, *clearLine;
  };
  const Case cases[] = {
      {"Wi-Fi\n*  Bluetooth PAN\t\n \tThunderbolt Bridge  \n\n",
       {"Wi-Fi", "Thunderbolt Bridge"},
       {"Bluetooth PAN"},
       true,
       "system proxy enabled on services: Wi-Fi, Thunderbolt Bridge",
       "system proxy disabled on services: Wi-Fi, Thunderbolt Bridge"},
      {"*Wi-Fi\n\t*Ethernet\n",
       {},
       {"Wi-Fi", "Ethernet"},
       false,
       "no network services",
       "no network services"},
  };
  startDaemon();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.services);
    setServices(c.services);
    presetAll(c.disabled, "10.0.0.9");
    const Json before = proxyState();
    const std::string result = c.reply ? "true" : "false";

    clearCalls();
    size_t from = log().size();
    auto set = client().setSystemProxy("127.0.0.1", 7890, 7891);
    ASSERT_TRUE(set.ok());
    EXPECT_EQ(*set, c.reply);
    std::vector<Args> expected{{"-listallnetworkservices"}};
    for (const auto& s : c.enabled) {
      const auto on = onCalls(s, "127.0.0.1", "7890", "7891");
      expected.insert(expected.end(), on.begin(), on.end());
    }
    EXPECT_EQ(calls("networksetup"), expected);
    EXPECT_TRUE(logInOrder({"setSystemProxy called: host=127.0.0.1, httpPort=7890, socksPort=7891",
                            c.setLine, "setSystemProxy result: " + result},
                           from));
    for (const auto& s : c.enabled) {
      for (const char* kind : kKinds) {
        EXPECT_TRUE(enabled(s, kind)) << s << " " << kind;
        EXPECT_EQ(proxyState()[s][kind]["port"], kind == std::string("socks") ? "7891" : "7890");
      }
    }

    clearCalls();
    from = log().size();
    auto clear = client().clearSystemProxy();
    ASSERT_TRUE(clear.ok());
    EXPECT_EQ(*clear, c.reply);
    expected = {{"-listallnetworkservices"}};
    const auto off = offCalls(c.enabled);
    expected.insert(expected.end(), off.begin(), off.end());
    EXPECT_EQ(calls("networksetup"), expected);
    EXPECT_TRUE(logInOrder(
        {"clearSystemProxy called", c.clearLine, "clearSystemProxy result: " + result}, from));
    for (const auto& s : c.enabled) {
      for (const char* kind : kKinds) {
        EXPECT_FALSE(enabled(s, kind)) << s << " " << kind;
        EXPECT_EQ(proxyState()[s][kind]["server"], "127.0.0.1");  // only switched off
      }
    }
    for (const auto& s : c.disabled) EXPECT_EQ(proxyState()[s], before[s]) << s;
  }
}

TEST_F(Host, DnsFlushRepliesTrueWhenEitherCommandWorks) {
  // killall finds this root's stand-in responder: a copy of sleep by that name.
  const std::string responder = root() + "/opt/mDNSResponder";
  fs::create_directories(root() + "/opt");
  fs::copy_file("/bin/sleep", responder);
  struct Case {
    bool flushFails, responderRuns, reply;
    const char* line;
  };
  const Case cases[] = {
      {false, true, true, "flushDNS result: flush=true hup=true"},
      {true, true, true, "flushDNS result: flush=false hup=true"},
      {false, false, true, "flushDNS result: flush=true hup=false"},
      {true, false, false, "flushDNS result: flush=false hup=false"},
  };
  startDaemon();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::unique_ptr<Child> mdns;
    if (c.responderRuns) mdns = std::make_unique<Child>(Args{responder, "60"});
    if (c.flushFails) writeFile(at("/var/standins/fail-dscacheutil"), "3");
    clearCalls();
    const size_t from = log().size();
    auto r = client().flushDNS();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, c.reply);
    EXPECT_EQ(calls("dscacheutil"), (std::vector<Args>{{"-flushcache"}}));
    EXPECT_TRUE(logInOrder({"flushDNS called", c.line}, from));
    if (mdns) {
      const int status = mdns->wait(5);  // hung up by killall
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
    }
    fs::remove(at("/var/standins/fail-dscacheutil"));
  }
}

TEST_F(Host, WatchdogTearsDownWhenTheLatestClientDiesWhileAKernelRuns) {
  setServices("Wi-Fi\nEthernet\n");
  startDaemon();
  clearCalls();

  // No kernel: a vanished client is nothing to act on. The first look comes
  // 4 s after this first connection; judge after it.
  auto lone = watcher();
  const auto firstConnected = Clock::now();
  ::kill(lone->pid(), SIGKILL);
  lone->wait(5);
  std::this_thread::sleep_until(firstConnected + std::chrono::milliseconds(5000));
  EXPECT_EQ(countLog("看门狗："), 0u);
  EXPECT_TRUE(calls("networksetup").empty());

  const uint16_t port = startKernel();
  const pid_t kernel = kernelPid();
  ASSERT_GT(kernel, 0);
  ASSERT_TRUE(client().setSystemProxy("127.0.0.1", port, port).value == true);
  auto older = watcher();
  auto latest = watcher();  // from now on the one watched
  const std::string pid = std::to_string(latest->pid());
  const std::string gone =
      "看门狗：主程序(pid " + pid + ")已消失（崩溃/强杀）→ 停内核 + 清系统代理/TUN";
  const std::string done = "看门狗：已因主程序(pid " + pid + ")消失完成兜底拆除，系统恢复直连";
  clearCalls();
  const size_t from = log().size();

  ::kill(older->pid(), SIGKILL);
  const auto killedAt = Clock::now();
  ::kill(latest->pid(), SIGKILL);
  // Noticed at the next look (every 4 s), torn down after the kernel's stop.
  const auto noticed = waitLog(gone, 8.5);
  ASSERT_TRUE(noticed.has_value()) << "not noticed within 8.5 s";
  EXPECT_LE(secondsBetween(killedAt, *noticed), 4.0 + 1.0);
  const auto finished = waitLog(done, 8.5);
  ASSERT_TRUE(finished.has_value());
  EXPECT_LE(secondsBetween(killedAt, *finished), 8.5);

  EXPECT_TRUE(logInOrder(
      {gone, "kernel stopped", "system proxy disabled on services: Wi-Fi, Ethernet", done}, from));
  EXPECT_EQ(countLog("看门狗："), 2u);  // nothing about the older client or the lone one
  EXPECT_TRUE(kernelPids().empty());
  EXPECT_EQ(settingCalls(), offCalls({"Wi-Fi", "Ethernet"}));
  for (const char* s : {"Wi-Fi", "Ethernet"}) {
    for (const char* kind : kKinds) EXPECT_FALSE(enabled(s, kind)) << s << " " << kind;
  }
}

enum class Survivor { None, Adoptable, Unadoptable };

struct Leftover {
  const char* name;
  Survivor kernel;
  const char* proxyHost;           // every proxy of every service points there, enabled
  std::vector<std::string> lines;  // what reconciliation logs, in order
  bool cleared;
};

void PrintTo(const Leftover& c, std::ostream* os) {
  *os << c.name;
}

class Reconciliation : public Host, public ::testing::WithParamInterface<Leftover> {};

TEST_P(Reconciliation, SettlesWhatAnEarlierRunLeft) {
  const Leftover& c = GetParam();
  const std::vector<std::string> services{"Wi-Fi", "Bluetooth PAN", "Ethernet"};
  setServices("Wi-Fi\n*Bluetooth PAN\n Ethernet\n");
  pid_t survivor = 0;
  if (c.kernel != Survivor::None) {
    startDaemon();
    startKernel();
    survivor = kernelPid();
    ASSERT_GT(survivor, 0);
    killDaemon();
  }
  if (c.kernel == Survivor::Unadoptable) {
    // A non-empty directory at the control socket's path can be neither
    // removed nor bound, so the survivor cannot be taken over.
    const std::string sock = dataDir() + "/work/control.sock";
    fs::remove(sock);
    writeFile(sock + "/keep", "");
  }
  presetAll(services, c.proxyHost);
  clearCalls();
  const size_t from = log().size();
  startDaemon();

  EXPECT_EQ(messages(from, {"启动对账", "system proxy"}), c.lines);
  EXPECT_EQ(settingCalls(), c.cleared ? offCalls({"Wi-Fi", "Ethernet"}) : std::vector<Args>{});
  for (const auto& s : services) {
    for (const char* kind : kKinds) {
      EXPECT_EQ(enabled(s, kind), !c.cleared || s == "Bluetooth PAN") << s << " " << kind;
      EXPECT_EQ(proxyState()[s][kind]["server"], c.proxyHost);
    }
  }
  if (c.kernel == Survivor::Adoptable) {
    EXPECT_EQ(kernelPid(), survivor);
  } else {
    EXPECT_TRUE(eventually([&] { return kernelPids().empty(); }, 5));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Host, Reconciliation,
    ::testing::Values(Leftover{"LocalProxyWithoutKernelIsCleared",
                               Survivor::None,
                               "127.0.0.1",
                               {"启动对账：清理遗留的本机系统代理（上次崩溃残留），恢复直连",
                                "system proxy disabled on services: Wi-Fi, Ethernet",
                                "启动对账：无存活内核，残留已清理"},
                               true},
                      Leftover{"ProxyOnAnotherHostIsLeftAlone",
                               Survivor::None,
                               "proxy.corp.example",
                               {"启动对账：无存活内核，残留已清理"},
                               false},
                      Leftover{"SurvivingKernelIsReadopted",
                               Survivor::Adoptable,
                               "127.0.0.1",
                               {"启动对账：重接管存活内核，连接保持（未断网）"},
                               false},
                      Leftover{"UnadoptableKernelIsKilledAndLocalProxyCleared",
                               Survivor::Unadoptable,
                               "LocalHost",
                               {"启动对账：重接管失败 → 杀内核 + 清系统代理",
                                "system proxy disabled on services: Wi-Fi, Ethernet"},
                               true},
                      Leftover{"UnadoptableKernelIsKilledAndForeignProxyKept",
                               Survivor::Unadoptable,
                               "10.20.30.40",
                               {"启动对账：重接管失败 → 杀内核 + 清系统代理"},
                               false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Host, InstallKernelInstallsOnlyAnUploadThatPassesItsVersionRun) {
  fs::remove(kernelPath());  // the kernel version then speaks of the upload alone
  startDaemon();
  const std::string installed = dataDir() + "/com.zelvo.svc.core";
  const std::string temp =
      at("/private/var/tmp/zelvo-helper-" + std::to_string(::geteuid()) + "/内核-temp");
  auto version = client().getKernelVersion();
  ASSERT_TRUE(version.ok());
  EXPECT_FALSE(version->has_value());

  struct Upload {
    const char* what;
    std::string bytes;
    OperationResult reply;
    const char* line;  // logged after the call, or nothing
    bool tempRemoved;
  };
  // Pipes the daemon holds: a trial's output drain must end with the trial's
  // time-out even when a child of the upload keeps the pipe open.
  const auto pipes = [&] {
    int n = 0;
    std::error_code ec;
    for (const auto& e :
         fs::directory_iterator("/proc/" + std::to_string(daemonPid()) + "/fd", ec)) {
      n += fs::read_symlink(e.path(), ec).string().rfind("pipe:", 0) == 0;
    }
    return n;
  };
  const int idlePipes = pipes();
  const std::string kernel = readFile(ZELVAN_CORE_BIN);
  const Upload uploads[] = {
      {"leaves a child holding its output",
       "#!/bin/sh\nsleep 40 &\nexit 1\n",
       {false, "Invalid 内核 binary"},
       nullptr,
       true},
      {"fails its version run",
       "#!/bin/sh\necho zelvan-core 1.0.0\nexit 1\n",
       {false, "Invalid 内核 binary"},
       nullptr,
       true},
      {"never exits",
       "#!/bin/sh\nexec sleep 60\n",
       {false, "内核 version check timed out"},
       "Failed to install 内核: 内核 version check timed out",
       false},
      {"the reference kernel", kernel, {true, std::nullopt}, "内核 installed successfully", true},
  };
  for (const auto& u : uploads) {
    SCOPED_TRACE(u.what);
    const size_t from = log().size();
    const auto began = Clock::now();
    auto r = client().installKernel(std::vector<uint8_t>(u.bytes.begin(), u.bytes.end()));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, u.reply);
    EXPECT_LT(secondsBetween(began, Clock::now()), 15.0);  // a trial is cut off at 10 s
    if (u.line) {
      EXPECT_TRUE(logInOrder({u.line}, from));
    } else {
      EXPECT_EQ(countLog("Failed to install"), 0u);
      EXPECT_EQ(countLog("installed successfully"), 0u);
    }
    EXPECT_TRUE(!u.tempRemoved || !fs::exists(temp));
    EXPECT_EQ(fs::exists(installed), u.reply.success);
  }

  EXPECT_TRUE(eventually([&] { return pipes() == idlePipes; }, 3)) << pipes() << " pipes open";
  struct stat st {};
  ASSERT_EQ(::stat(installed.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_TRUE(readFile(installed) == kernel);
  version = client().getKernelVersion();
  ASSERT_TRUE(version.ok());
  EXPECT_EQ(*version, std::optional<std::string>("zelvan-core"));
}

TEST_F(Host, UninstallStopsEverythingRemovesTheHelperAndExits) {
  struct Case {
    const char* what;
    bool helperPresent, reply;
    const char* line;
  };
  const Case cases[] = {
      {"helper executable already gone", false, false, "Failed to remove helper files: "},
      {"everything in place", true, true, "Helper files removed"},
  };
  const std::string helper = at("/Library/PrivilegedHelperTools/com.zelvo.svc.helper");
  const std::string plist = at("/Library/LaunchDaemons/com.zelvo.svc.helper.plist");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.helperPresent) {
      writeFile(helper, "");
    } else {
      fs::remove(helper);
    }
    startDaemon();
    const uint16_t port = startKernel();
    ASSERT_GT(kernelPid(), 0);
    ASSERT_TRUE(client().setSystemProxy("127.0.0.1", port, port).value == true);
    clearCalls();
    const size_t from = log().size();

    auto r = client().uninstallHelper();
    const auto repliedAt = Clock::now();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, c.reply);
    EXPECT_TRUE(kernelPids().empty());
    EXPECT_EQ(settingCalls(), offCalls({"Wi-Fi"}));
    EXPECT_FALSE(enabled("Wi-Fi", "web"));
    EXPECT_EQ(calls("launchctl"), (std::vector<Args>{{"remove", "com.zelvo.svc.helper"}}));
    EXPECT_TRUE(logInOrder({"uninstallHelper called", "kernel stopped",
                            "system proxy disabled on services: Wi-Fi", c.line},
                           from));
    EXPECT_FALSE(fs::exists(helper));
    EXPECT_EQ(fs::exists(plist), !c.reply);  // kept when the executable could not go
    EXPECT_TRUE(fs::exists(kernelPath()));   // the kernel and its data are not the helper's
    EXPECT_TRUE(fs::exists(dataDir() + "/kernel.log"));

    const int status = waitDaemonExit(5);
    const double exitAfter = secondsBetween(repliedAt, Clock::now());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GT(exitAfter, 0.3);
    EXPECT_LT(exitAfter, 1.5);
  }
}

}  // namespace
}  // namespace zelvo::testing
