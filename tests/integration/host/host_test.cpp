// The host half against the real daemon, the reference kernel and the stand-in tools: the system
// proxy, the DNS flush, the client watchdog, reconciliation at launch, kernel installation and
// helper removal, judged by what a client or user sees: replies, the tools' recorded calls, proxy
// settings, log lines, files under the root and kernel processes. What touches the host runs
// against both back ends: macOS's, whose targets are network services, and Linux's, whose targets
// are users with a desktop session (system accounts stand in for them, so those runs need root).
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "support/scenario.h"

namespace zelvo::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Names = std::vector<std::string>;

// The proxy kinds: networksetup's name and option stem, the GNOME schema.
struct Kind {
  const char *mac, *gnome, *option;
};
const Kind kKinds[] = {{"web", "org.gnome.system.proxy.http", "-setweb"},
                       {"secureweb", "org.gnome.system.proxy.https", "-setsecureweb"},
                       {"socks", "org.gnome.system.proxy.socks", "-setsocksfirewall"}};

class HostBase : public Scenario {
 protected:
  void SetUp() override {
    if (linux_ && ::geteuid() != 0) GTEST_SKIP() << "runs tools as other users: needs root";
  }
  void startOn() { startDaemon(linux_ ? Args{"--host", "linux"} : Args{}); }
  std::string target(int i) const {
    return (linux_ ? Names{"nobody", "daemon", "bin", "sys"}
                   : Names{"Wi-Fi", "Thunderbolt Bridge", "Bluetooth PAN", "Ethernet"})[i];
  }
  static const passwd& user(const std::string& name) { return *::getpwnam(name.c_str()); }
  std::string settingsOf(const std::string& name) const {
    return at("/run/user/" + std::to_string(user(name).pw_uid) + "/gsettings.json");
  }

  // Makes `on` the targets, in order, with `off` after the first of them:
  // disabled services, or sessions that are no user's active desktop. The
  // first user's second session must not make them a target twice.
  void layOut(const Names& on, const Names& off) const {
    Names all = on;
    all.insert(all.begin() + (on.empty() ? 0 : 1), off.begin(), off.end());
    auto isOn = [&](const std::string& t) { return std::count(on.begin(), on.end(), t) > 0; };
    std::string services;
    for (const auto& t : all) services += isOn(t) ? " \t" + t + "  \n" : "*  " + t + "\t\n";
    if (!linux_) return setServices(services + "\n");
    Json sessions = Json::array();
    auto add = [&](const std::string& name, Json s) {
      s.update({{"id", std::to_string(sessions.size() + 2)}, {"uid", user(name).pw_uid}});
      s["name"] = name;
      sessions.push_back(s);
    };
    for (const auto& t : all) {
      for (const Json& s :
           isOn(t) ? std::vector<Json>{{{"type", "x11"}}}
                   : std::vector<Json>{
                         {{"class", "greeter"}}, {{"type", "tty"}}, {{"active", false}}}) {
        add(t, s);
      }
    }
    if (!on.empty()) add(on.front(), Json::object());
    writeFile(at("/var/standins/sessions.json"), sessions.dump());
  }

  // Every call that changes a setting, the tool's name first: in order for
  // each tool, users' gsettings being run side by side.
  std::vector<Args> settingCalls() const {
    std::vector<Args> out;
    for (auto& c : calls()) {
      if (c.size() > 1 && (c[0] == "networksetup" ? c[1].rfind("-set", 0) == 0 : c[1] == "set"))
        out.push_back(c);
    }
    return byTool(out);
  }
  static std::vector<Args> byTool(std::vector<Args> calls) {
    std::ranges::stable_sort(calls, {}, [](const Args& c) { return c[0]; });
    return calls;
  }
  // What the tools must be asked to point the targets at host (HTTP 7890,
  // SOCKS 7891), or to switch them off when host is empty.
  std::vector<Args> switchCalls(const Names& targets, const std::string& host = "") const {
    std::vector<Args> out;
    const std::string on = host.empty() ? "off" : "on", mode = host.empty() ? "none" : "manual";
    for (const auto& t : targets) {
      const std::string g = linux_ ? "gsettings@" + std::to_string(user(t).pw_uid) : "";
      for (const auto& [mac, gnome, option] : kKinds) {
        const std::string port = mac == "socks"s ? "7891" : "7890";
        if (host.empty()) continue;
        if (!linux_) out.push_back({"networksetup", option + "proxy"s, t, host, port});
        if (linux_) out.push_back({g, "set", gnome, "host", "'" + host + "'"});
        if (linux_) out.push_back({g, "set", gnome, "port", port});
      }
      for (const auto& [mac, gnome, option] : kKinds) {
        if (!linux_) out.push_back({"networksetup", option + "proxystate"s, t, on});
      }
      if (linux_) out.push_back({g, "set", "org.gnome.system.proxy", "mode", "'" + mode + "'"});
    }
    return byTool(out);
  }

  // Target t's proxy of kind k, as {"enabled", "server"}.
  Json proxy(const std::string& t, int k) const {
    if (!linux_) return proxyState()[t][kKinds[k].mac];
    const std::string text = readFile(settingsOf(t));
    Json s = text.empty() ? Json::object() : Json::parse(text);
    Json& kind = s[kKinds[k].gnome];
    return {{"enabled", s["org.gnome.system.proxy"]["mode"] == "manual"}, {"server", kind["host"]}};
  }
  bool enabled(const std::string& t, int k) const { return proxy(t, k)["enabled"] == true; }

  // Every kind of each target on, pointing at host:7890.
  void presetAll(const Names& targets, const std::string& host) const {
    for (const auto& t : targets) {
      Json s{{"org.gnome.system.proxy", {{"mode", "manual"}}}};
      for (const auto& [mac, gnome, option] : kKinds) {
        if (!linux_) presetProxy(t, mac, true, host, "7890");
        s[gnome] = {{"host", host}, {"port", 7890}};
      }
      if (!linux_) continue;
      writeFile(settingsOf(t), s.dump());
      for (const fs::path& p : {fs::path(settingsOf(t)), fs::path(settingsOf(t)).parent_path()})
        EXPECT_EQ(::chown(p.c_str(), user(t).pw_uid, user(t).pw_gid), 0);  // the user's own
    }
  }

  // The closing line of a change of `targets`, or of none.
  std::string switched(const std::string& how, const Names& targets) const {
    if (targets.empty()) return linux_ ? "no graphical sessions" : "no network services";
    std::string line = "system proxy " + how + (linux_ ? " for users: " : " on services: ");
    for (size_t i = 0; i < targets.size(); ++i) line += (i ? ", " : "") + targets[i];
    return line;
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

  // A `zelvoctl watch` client, once the daemon has accepted it.
  std::unique_ptr<Child> watcher() {
    auto child = std::make_unique<Child>(Args{ZELVOCTL_BIN, "--root", root(), "watch"});
    const auto pid = std::to_string(child->pid());
    EXPECT_TRUE(waitLog("Accepted new connection (client pid=" + pid + ")", 20));
    return child;
  }

  bool linux_ = false;
};

struct LinuxHost : HostBase {
  LinuxHost() { linux_ = true; }
};

// Runs once per back end: "macos" and "linux".
class Host : public HostBase, public ::testing::WithParamInterface<const char*> {
 protected:
  Host() { linux_ = GetParam() == std::string("linux"); }
};

INSTANTIATE_TEST_SUITE_P(Backends, Host, ::testing::Values("macos", "linux"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(Host, SystemProxyIsSwitchedOnEveryTargetAndNoOther) {
  const std::pair<Names, Names> cases[] = {{{target(0), target(1)}, {target(2)}},
                                           {{}, {target(0), target(3)}}};
  // Every run as a user leaves a process behind, which must not outlive it.
  const std::string strays = at("/var/standins/gsettings-strays");
  writeFile(strays, "", 0666);
  startOn();
  for (const auto& [on, off] : cases) {  // the targets, and others to pass over
    SCOPED_TRACE(switched("enabled", on));
    layOut(on, off);
    presetAll(off, "10.0.0.9");
    const std::string result = on.empty() ? "false" : "true";

    clearCalls();
    size_t from = log().size();
    EXPECT_EQ(client().setSystemProxy("127.0.0.1", 7890, 7891).value, !on.empty());
    EXPECT_EQ(settingCalls(), switchCalls(on, "127.0.0.1"));
    EXPECT_TRUE(logInOrder({"setSystemProxy called: host=127.0.0.1, httpPort=7890, socksPort=7891",
                            switched("enabled", on), "setSystemProxy result: " + result},
                           from));
    for (const auto& t : on) {
      for (int k = 0; k < 3; ++k) EXPECT_TRUE(enabled(t, k)) << t << " " << k;
    }

    // A user who has chosen another proxy since keeps it, where it is theirs,
    // and so does one who comes with a local proxy the helper never set.
    const Names cleared = linux_ && !on.empty() ? Names{on[0]} : on;
    if (cleared != on) {
      presetAll({on[1]}, "10.0.0.9");
      presetAll({target(3)}, "127.0.0.1");
      layOut({on[0], on[1], target(3)}, off);
    }
    clearCalls();
    from = log().size();
    EXPECT_EQ(client().clearSystemProxy().value, !on.empty());
    EXPECT_EQ(settingCalls(), switchCalls(cleared));
    EXPECT_TRUE(logInOrder({"clearSystemProxy called", switched("disabled", cleared),
                            "clearSystemProxy result: " + result},
                           from));
    for (const auto& t : on) {
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(enabled(t, k), t != on[0] && linux_) << t << " " << k;
        EXPECT_EQ(proxy(t, k)["server"], t == on[0] || !linux_ ? "127.0.0.1" : "10.0.0.9");
      }
    }
  }
  EXPECT_FALSE(fs::exists(dataDir() + "/proxy-users"));  // nobody's proxy is the helper's now
  EXPECT_EQ(readFile(strays).empty(), !linux_);
  for (const std::string& stray : splitLines(readFile(strays))) {  // killed and reaped
    EXPECT_TRUE(eventually([&] { return procFile(std::stoi(stray), "stat").empty(); }, 5)) << stray;
  }
}

TEST_P(Host, DnsFlushRepliesTrueWhenEitherCacheIsFlushed) {
  // killall finds this root's stand-in responder: a copy of sleep by that name.
  const std::string responder = root() + "/opt/mDNSResponder";
  fs::create_directories(root() + "/opt");
  fs::copy_file("/bin/sleep", responder);
  const std::string first = linux_ ? "resolvectl" : "dscacheutil";
  struct Case {
    bool firstFails, secondWorks, reply;  // the second: the hang-up, or nscd
    const char *macLine, *linuxLine;      // after "flushDNS result: "
  };
  const Case cases[] = {
      {false, true, true, "flush=true hup=true", "resolvectl=true"},
      {true, true, true, "flush=false hup=true", "resolvectl=false nscd=true"},
      {false, false, true, "flush=true hup=false", "resolvectl=true"},
      {true, false, false, "flush=false hup=false", "resolvectl=false nscd=false"},
  };
  startOn();
  for (const auto& c : cases) {
    const std::string line = "flushDNS result: "s + (linux_ ? c.linuxLine : c.macLine);
    SCOPED_TRACE(line);
    std::unique_ptr<Child> mdns;
    if (c.secondWorks && !linux_) mdns = std::make_unique<Child>(Args{responder, "60"});
    if (!c.secondWorks) writeFile(at("/var/standins/fail-nscd"), "1");
    if (c.firstFails) writeFile(at("/var/standins/fail-" + first), "3");
    clearCalls();
    const size_t from = log().size();
    EXPECT_EQ(client().flushDNS().value, c.reply);
    EXPECT_EQ(calls(first), (std::vector<Args>{{linux_ ? "flush-caches" : "-flushcache"}}));
    // nscd is the fallback: asked only when resolved could not flush.
    EXPECT_EQ(calls("nscd").size(), linux_ && c.firstFails ? 1u : 0u);
    EXPECT_TRUE(logInOrder({"flushDNS called", line}, from));
    if (mdns) {
      const int status = mdns->wait(5);  // hung up by killall
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
    }
    for (const auto& tool : {first, "nscd"s}) fs::remove(at("/var/standins/fail-" + tool));
  }
}

TEST_P(Host, WatchdogTearsDownWhenTheLatestClientDiesWhileAKernelRuns) {
  const Names targets{target(0), target(3)};
  layOut(targets, {});
  startOn();
  clearCalls();

  // No kernel: a vanished client is nothing to act on. The first look comes
  // 4 s after this first connection; judge after it.
  auto lone = watcher();
  const auto firstConnected = Clock::now();
  ::kill(lone->pid(), SIGKILL);
  lone->wait(5);
  std::this_thread::sleep_until(firstConnected + std::chrono::milliseconds(5000));
  EXPECT_EQ(countLog("看门狗："), 0u);
  EXPECT_TRUE(settingCalls().empty());

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
  const size_t from = log().size(), ends = countLog("Connection invalidated");

  ::kill(older->pid(), SIGKILL);
  const auto killedAt = Clock::now();
  const pid_t latestPid = latest->pid();
  ::kill(latestPid, SIGKILL);
  latest->wait(5);
  ASSERT_TRUE(waitLog("Connection invalidated", 5, ends + 2));  // no new worker takes the pid
  const auto namesake = childNumbered(latestPid);               // not the client
  ASSERT_NE(namesake, nullptr);
  // Noticed at the next look (every 4 s), torn down after the kernel's stop.
  const auto noticed = waitLog(gone, 8.5);
  ASSERT_TRUE(noticed.has_value()) << "not noticed within 8.5 s";
  EXPECT_LE(secondsBetween(killedAt, *noticed), 4.0 + 1.0);
  const auto finished = waitLog(done, 8.5);
  ASSERT_TRUE(finished.has_value());
  EXPECT_LE(secondsBetween(killedAt, *finished), 8.5);

  EXPECT_TRUE(logInOrder({gone, "kernel stopped", switched("disabled", targets), done}, from));
  EXPECT_EQ(countLog("看门狗："), 2u);  // nothing about the older client or the lone one
  EXPECT_EQ(countLog("主程序看门狗已启动"), 1u);
  EXPECT_TRUE(kernelPids().empty());
  EXPECT_EQ(settingCalls(), switchCalls(targets));
  for (const auto& t : targets) {
    for (int k = 0; k < 3; ++k) EXPECT_FALSE(enabled(t, k)) << t << " " << k;
  }
}

enum class Survivor { None, Adoptable, Unadoptable };

struct Leftover {
  const char* name;
  Survivor kernel;
  const char* proxyHost;  // every proxy of every target points there, enabled
  // What reconciliation logs, in order; "" stands for the line of clearing.
  std::vector<std::string> lines;
};

void PrintTo(const Leftover& c, std::ostream* os) {
  *os << c.name;
}

class Reconciliation : public HostBase,
                       public ::testing::WithParamInterface<std::tuple<const char*, Leftover>> {
 protected:
  Reconciliation() { linux_ = std::get<0>(GetParam()) == std::string("linux"); }
};

TEST_P(Reconciliation, SettlesWhatAnEarlierRunLeft) {
  const Leftover& c = std::get<1>(GetParam());
  const bool cleared = std::count(c.lines.begin(), c.lines.end(), "") > 0;
  const Names on{target(0), target(3)}, all{target(0), target(2), target(3)};
  layOut(on, {target(2)});
  pid_t survivor = 0;
  startOn();
  // Only a proxy this helper switched on is its to clear (on Linux, per user).
  ASSERT_TRUE(client().setSystemProxy("127.0.0.1", 7890, 7891).value == true);
  if (c.kernel != Survivor::None) {
    startKernel();
    survivor = kernelPid();
    ASSERT_GT(survivor, 0);
  }
  killDaemon();
  if (c.kernel == Survivor::Unadoptable) {
    // A non-empty directory at the control socket's path can be neither
    // removed nor bound, so the survivor cannot be taken over.
    const std::string sock = dataDir() + "/work/control.sock";
    fs::remove(sock);
    writeFile(sock + "/keep", "");
  }
  presetAll(all, c.proxyHost);
  clearCalls();
  const size_t from = log().size();
  startOn();

  auto lines = c.lines;
  for (auto& line : lines) line = line.empty() ? switched("disabled", on) : line;
  EXPECT_EQ(messages(from, {"启动对账", "system proxy"}), lines);
  EXPECT_EQ(settingCalls(), switchCalls(cleared ? on : Names{}));
  // The look lists the services, and so does a clear.
  const auto lists = std::ranges::count(calls("networksetup"), Args{"-listallnetworkservices"});
  EXPECT_TRUE(linux_ || lists == (c.kernel == Survivor::Adoptable ? 0 : 1 + cleared)) << lists;
  for (const auto& t : all) {
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(enabled(t, k), !cleared || t == target(2)) << t << " " << k;
      EXPECT_EQ(proxy(t, k)["server"], c.proxyHost);
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
    ::testing::Combine(
        ::testing::Values("macos", "linux"),
        ::testing::Values(Leftover{"LocalProxyWithoutKernelIsCleared",
                                   Survivor::None,
                                   "127.0.0.1",
                                   {"启动对账：清理遗留的本机系统代理（上次崩溃残留），恢复直连",
                                    "", "启动对账：无存活内核，残留已清理"}},
                          Leftover{"ProxyOnAnotherHostIsLeftAlone",
                                   Survivor::None,
                                   "proxy.corp.example",
                                   {"启动对账：无存活内核，残留已清理"}},
                          Leftover{"SurvivingKernelIsReadopted",
                                   Survivor::Adoptable,
                                   "127.0.0.1",
                                   {"启动对账：重接管存活内核，连接保持（未断网）"}},
                          Leftover{"UnadoptableKernelIsKilledAndLocalProxyCleared",
                                   Survivor::Unadoptable,
                                   "LocalHost",
                                   {"启动对账：重接管失败 → 杀内核 + 清系统代理", ""}},
                          Leftover{"UnadoptableKernelIsKilledAndForeignProxyKept",
                                   Survivor::Unadoptable,
                                   "10.20.30.40",
                                   {"启动对账：重接管失败 → 杀内核 + 清系统代理"}})),
    [](const auto& info) {
      return std::string(std::get<1>(info.param).name) + "_" + std::get<0>(info.param);
    });

// Each user's proxy is their own. At start, and whenever the sessions change
// with no kernel running, it is cleared for the active users for whom this
// helper switched it on and whose proxy still points here: not for one who
// chose another since, nor for one whose own program serves here; settings
// that read as the defaults (as unreachable ones do) say nothing. While a
// kernel runs, a change leaves all alone. That is how a user who logged out
// while a kernel ran gets back a proxy they can use.
TEST_F(LinuxHost, LeftoversAreClearedPerUserAtStartAndAtSessionChangesWithoutAKernel) {
  layOut({target(0), target(2), target(3)}, {});
  startOn();
  ASSERT_TRUE(client().setSystemProxy("127.0.0.1", 7890, 7891).value == true);
  killDaemon();
  presetAll({target(1)}, "127.0.0.1");
  presetAll({target(3)}, "proxy.corp.example");
  fs::remove(settingsOf(target(2)));  // as unreachable settings read: says nothing, still ours
  layOut({target(1), target(0), target(3), target(2)}, {});
  clearCalls();
  // Until a user's bus is up (fail-gsettings) a clear fails; it is tried
  // again without another change of the sessions, at launch as at a login.
  const std::string noBus = at("/var/standins/fail-gsettings"),
                    later = "会话对账：有登录用户的系统代理未能读取或清理，";
  auto clearedLater = [&](const std::string& t) {
    fs::remove(noBus);
    EXPECT_TRUE(waitLog(switched("disabled", {t}), 40)) << t;
    const auto once = switchCalls({t}), all = settingCalls();
    EXPECT_EQ(std::set<Args>(all.begin(), all.end()), std::set<Args>(once.begin(), once.end()));
    EXPECT_GE(all.size(), 2 * once.size());
  };
  writeFile(noBus, "");
  startOn();
  ASSERT_TRUE(waitLog(later + "2 秒后再看", 10));
  ASSERT_TRUE(waitLog(later + "4 秒后再看", 10));  // then farther apart
  clearedLater(target(0));
  // Looked at again until target(2)'s settings can be read.
  EXPECT_TRUE(waitLog(later + "8 秒后再看", 5));
  presetAll({target(0)}, "localhost");  // cleared, so no longer ours: kept from now on
  presetAll({target(2)}, "127.0.0.1");
  startKernel();
  int changes = 0;
  // What logind does at a login: a session file written after the sessions.
  auto change = [&](const Names& on, const Names& off, const std::string& line) {
    layOut(on, off);
    clearCalls();
    writeFile(at("/run/systemd/sessions/" + std::to_string(++changes)), "");
    EXPECT_TRUE(waitLog(line, 10, countLog(line) + 1)) << line;
  };
  change({target(2)}, {}, "会话对账：内核在运行，系统代理不动");
  // A crashed kernel in its pause before the relaunch is still meant to run.
  ASSERT_EQ(::kill(kernelPid(), SIGKILL), 0);
  change({target(2)}, {}, "会话对账：内核在运行，系统代理不动");
  EXPECT_TRUE(settingCalls().empty());
  ASSERT_TRUE(eventually([&] { return kernelPid() > 0; }, 5));
  ASSERT_TRUE(client().stopProxy().value == true);
  presetAll({target(3)}, "localhost");  // elsewhere when launch looked, so no longer ours either
  writeFile(noBus, "");
  change({target(1), target(2), target(3), target(0)}, {}, later + "2 秒后再看");
  clearedLater(target(2));
  for (int t = 0; t < 4; ++t) EXPECT_EQ(enabled(target(t), 0), t != 2) << t;
}

// A switch held up by a user's bus that answers slowly (all the runs of that
// user's change end at one time-out) holds up no other user's, and no start,
// even when the sessions change meanwhile.
TEST_F(LinuxHost, AHungSwitchHoldsUpNoOtherUserAndNoStart) {
  layOut({target(0), target(1)}, {});
  startOn();
  // Whole at once: a run must not read it half written. 4 s a run, 8 runs.
  writeFile(at("/var/standins/slow"), std::to_string(user(target(0)).pw_uid) + " 4");
  fs::rename(at("/var/standins/slow"), at("/var/standins/slow-gsettings"));
  client().setSystemProxy("127.0.0.1", 7890, 7891, [](auto) {});
  ASSERT_TRUE(waitLog("setSystemProxy called", 5));
  EXPECT_TRUE(eventually([&] { return enabled(target(1), 0); }, 5));
  writeFile(at("/run/systemd/sessions/1"), "");
  EXPECT_TRUE(waitLog("会话对账：系统代理正在切换，2 秒后再看", 5));
  const auto began = Clock::now();
  EXPECT_GT(startKernel(), 0);
  EXPECT_LT(secondsBetween(began, Clock::now()), 5.0);
  EXPECT_TRUE(waitLog("setSystemProxy result: true", 20));  // cut off at 10 s, not 32
}

TEST_F(HostBase, InstallKernelInstallsOnlyAnUploadThatPassesItsVersionRun) {
  fs::remove(kernelPath());  // the kernel version then speaks of the upload alone
  startDaemon();
  const std::string installed = dataDir() + "/com.zelvo.svc.core";
  const std::string temp =
      at("/private/var/tmp/zelvo-helper-" + std::to_string(::geteuid()) + "/内核-temp");
  const std::string dir = fs::path(temp).parent_path();
  writeFile(dir + "/planted", "");  // a private directory left loose (0755) goes whole
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
  const auto pipes = [&] { return openFds(daemonPid(), "pipe:"); };
  const int idlePipes = pipes();
  const std::string kernel = readFile(ZELVAN_CORE_BIN);
  const std::string invalid = "Invalid 内核 binary", timedOut = "内核 version check timed out";
  // clang-format off
  const Upload uploads[] = {
      {"leaves a child holding its output", "#!/bin/sh\nsleep 40 &\nexit 1\n", {false, invalid}, nullptr, true},
      {"fails its version run", "#!/bin/sh\necho zelvan-core 1.0.0\nexit 1\n", {false, invalid}, nullptr, true},
      {"never exits", "#!/bin/sh\nexec sleep 60\n", {false, timedOut}, "Failed to install 内核: 内核 version check timed out", false},
      {"cannot be started", "\x01\x02 not a program", {false, temp + ": Exec format error"}, "Failed to install 内核: ", false},
      {"the reference kernel", kernel, {true, std::nullopt}, "内核 installed successfully", true},
  };
  // clang-format on
  for (const auto& u : uploads) {
    SCOPED_TRACE(u.what);
    const size_t from = log().size();
    if (u.reply.success) fs::create_directories(installed + "/in the way");  // goes whole
    const auto began = Clock::now();
    const auto r = client().installKernel(std::vector<uint8_t>(u.bytes.begin(), u.bytes.end()));
    EXPECT_EQ(r.value, u.reply);
    EXPECT_LT(secondsBetween(began, Clock::now()), 15.0);  // a trial is cut off at 10 s
    if (u.line) {
      EXPECT_TRUE(logInOrder({u.line}, from));
    } else {
      EXPECT_EQ(countLog("Failed to install"), 0u);
      EXPECT_EQ(countLog("installed successfully"), 0u);
    }
    EXPECT_TRUE(!u.tempRemoved || !fs::exists(temp));
    EXPECT_EQ(fs::exists(installed), u.reply.success);
    EXPECT_FALSE(fs::exists(dir + "/planted"));
  }

  EXPECT_TRUE(eventually([&] { return pipes() == idlePipes; }, 3)) << pipes() << " pipes open";
  // A file system mounted over the private directory (a user's FUSE mount may
  // claim root as its owner) is not trusted with an upload.
  if (::geteuid() == 0) {
    ASSERT_EQ(runProgram({"mount", "-t", "tmpfs", "-o", "mode=0700", "t", dir}).exitCode, 0);
    writeFile(dir + "/theirs", "");
    const auto over = client().installKernel(std::vector<uint8_t>(kernel.begin(), kernel.end()));
    EXPECT_EQ(over.value, (OperationResult{false, dir + ": Invalid cross-device link"}));
    EXPECT_TRUE(fs::exists(dir + "/theirs"));
    runProgram({"umount", dir});
    // On Linux an upload is staged where the kernel runs from: a /var/tmp
    // mounted noexec, as on hardened hosts, does not matter.
    fs::create_directories(at("/var/tmp"));
    ASSERT_EQ(runProgram({"mount", "-t", "tmpfs", "-o", "noexec", "t", at("/var/tmp")}).exitCode,
              0);
    killDaemon();
    startDaemon({"--host", "linux"});
    const auto staged = client().installKernel(std::vector<uint8_t>(kernel.begin(), kernel.end()));
    EXPECT_EQ(staged.value, (OperationResult{true, std::nullopt}));
    runProgram({"umount", at("/var/tmp")});
  }
  struct stat st {};
  ASSERT_EQ(::stat(installed.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_TRUE(readFile(installed) == kernel);
  version = client().getKernelVersion();
  ASSERT_TRUE(version.ok());
  EXPECT_EQ(*version, std::optional<std::string>("zelvan-core"));
  writeFile(kernelPath(), kernel, 0755);  // with both at hand, the preinstalled one runs
  const size_t from = log().size();
  ASSERT_NE(startKernel(), 0);
  EXPECT_TRUE(logInOrder({"Found kernel at: " + kernelPath(), "kernel started with PID"}, from));

  // An upload sent during another's trial neither replaces what that trial
  // passed nor takes it away: they go from staging to installing in turn.
  const std::string trying = root() + "/trying";
  const std::string slow = "#!/bin/sh\ntouch '" + trying + "'\nsleep 1\n",
                    bad = "#!/bin/sh\nexit 1\n";
  auto first = std::async(std::launch::async, [&] {
    return client().installKernel(std::vector<uint8_t>(slow.begin(), slow.end()));
  });
  ASSERT_TRUE(eventually([&] { return fs::exists(trying); }, 10));  // its trial has begun
  EXPECT_EQ(client().installKernel(std::vector<uint8_t>(bad.begin(), bad.end())).value,
            (OperationResult{false, "Invalid 内核 binary"}));
  EXPECT_EQ(first.get().value, (OperationResult{true, std::nullopt}));
  EXPECT_EQ(readFile(installed), slow);
}

TEST_P(Host, UninstallStopsEverythingTakesTheHelperOutAndExits) {
  struct Case {
    const char* what;
    bool broken, reply;  // broken: the helper executable gone, or systemctl failing
    const char *macLine, *linuxLine;
  };
  const Case cases[] = {
      {"cannot complete", true, false, "Failed to remove helper files: ",
       "Failed to disable helper units: systemctl exited with 1"},
      {"everything in place", false, true, "Helper files removed", "Helper units disabled"},
  };
  const std::string helper = at("/Library/PrivilegedHelperTools/com.zelvo.svc.helper");
  const std::string plist = at("/Library/LaunchDaemons/com.zelvo.svc.helper.plist");
  const std::string failing = at("/var/standins/fail-systemctl");
  layOut({target(0)}, {});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(helper, "");
    if (c.broken) linux_ ? writeFile(failing, "1") : (void)fs::remove(helper);
    if (!c.broken) fs::remove(failing);
    startOn();
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
    EXPECT_EQ(settingCalls(), switchCalls({target(0)}));
    EXPECT_FALSE(enabled(target(0), 0));
    EXPECT_TRUE(logInOrder({"uninstallHelper called", "kernel stopped",
                            switched("disabled", {target(0)}), linux_ ? c.linuxLine : c.macLine},
                           from));
    // Linux's package owns the files; macOS's plist stays without the executable.
    EXPECT_EQ(fs::exists(helper), linux_);
    EXPECT_EQ(fs::exists(plist), linux_ || !c.reply);
    EXPECT_TRUE(fs::exists(kernelPath()));  // the kernel and its data are not the helper's
    EXPECT_TRUE(fs::exists(dataDir() + "/kernel.log"));

    const int status = waitDaemonExit(5);
    const double exitAfter = secondsBetween(repliedAt, Clock::now());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NEAR(exitAfter, 0.9, 0.6);  // 0.3 s to 1.5 s
    // On Linux the units are stopped only after the reply, on the way out.
    const char* units[] = {"zelvo-helper.path", "zelvo-helper.socket", "zelvo-helper.service"};
    const std::vector<Args> removal =
        linux_ ? std::vector<Args>{{"disable", units[0], units[1], units[2]},
                                   {"stop", "--no-block", units[0], units[1], units[2]}}
               : std::vector<Args>{{"remove", "com.zelvo.svc.helper"}};
    EXPECT_EQ(calls(linux_ ? "systemctl" : "launchctl"), removal);
  }
}

// The real gsettings on a real session bus: a dbus-daemon of the test's user
// at that user's bus under the root (/run/user/<uid>/bus), which is where the
// back end points gsettings, so the daemon needs no hook; with the home under
// the root, dconf keeps its database in the sandbox.
TEST_F(HostBase, RealGsettingsIsSetAndClearedThroughTheUsersSessionBus) {
  linux_ = true;
  const passwd* me = ::getpwuid(::geteuid());
  if (!fs::exists("/usr/bin/dbus-daemon") ||
      runProgram({"/usr/bin/gsettings", "list-keys", "org.gnome.system.proxy"}).exitCode != 0) {
    GTEST_SKIP() << "no session bus: needs dbus-daemon, gsettings and the GNOME proxy schema";
  }
  const std::string runtime = at("/run/user/" + std::to_string(me->pw_uid));
  fs::create_directories(runtime);
  fs::remove(at("/usr/bin/gsettings"));
  fs::create_symlink("/usr/bin/gsettings", at("/usr/bin/gsettings"));
  writeFile(at("/var/standins/sessions.json"),
            Json::array({{{"id", "1"}, {"uid", me->pw_uid}, {"name", me->pw_name}}}).dump());
  const Args env{"/usr/bin/env", "-i", "HOME=" + at(me->pw_dir), "XDG_RUNTIME_DIR=" + runtime,
                 "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus"};
  auto with = [&](Args args) {
    args.insert(args.begin(), env.begin(), env.end());
    return args;
  };
  startOn();
  // gsettings exits 0 when the write cannot reach the bus; the reply must not.
  EXPECT_TRUE(client().setSystemProxy("127.0.0.1", 7890, 7891).value == false);
  Child bus(with({"/usr/bin/dbus-daemon", "--session", "--nofork",
                  "--address=unix:path=" + runtime + "/bus"}));
  ASSERT_TRUE(eventually([&] { return fs::exists(runtime + "/bus"); }, 10));
  auto get = [&](const std::string& schema, const std::string& key) {
    return runProgram(with({"/usr/bin/gsettings", "get", "org.gnome.system.proxy" + schema, key}));
  };
  ASSERT_TRUE(client().setSystemProxy("127.0.0.1", 7890, 7891).value == true);
  EXPECT_EQ(get("", "mode").out, "'manual'\n");
  EXPECT_EQ(get(".socks", "port").out, "7891\n");
  ASSERT_TRUE(client().clearSystemProxy().value == true);
  EXPECT_EQ(get("", "mode").out, "'none'\n");
  EXPECT_EQ(get(".http", "host").out, "'127.0.0.1'\n");  // only switched off
  ASSERT_TRUE(client().setSystemProxy("it's\\here", 1, 2).value == true);
  EXPECT_EQ(get(".http", "host").out, "\"it's\\\\here\"\n");  // escaped on the way
}

}  // namespace
}  // namespace zelvo::testing
