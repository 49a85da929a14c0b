// The Linux back end. The system proxy is the desktop's: the GNOME proxy
// settings (org.gnome.system.proxy), which GNOME and the programs that take
// their proxy from GLib or from Chromium's Linux code read. They are kept per
// user and written through the user's own session bus, so every user with an
// active graphical session, as logind reports it, gets gsettings runs of
// their own: as that user, with that user's bus, home and runtime directory.
// DNS caches are systemd-resolved's or nscd's. Removal is systemd's: the
// package owns the files.
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>

#include "host/host_backend.h"
#include "platform/accounts.h"
#include "platform/host_paths.h"
#include "platform/subprocess.h"
#include "service/helper.h"

namespace zelvo::host {

namespace {

// loginctl, gsettings and systemctl answer in well under a second. A user's
// bus that hangs (a stopped dconf service) must not hold the helper's proxy
// lock for ever; a run cut off counts as failed.
constexpr std::chrono::seconds kToolTimeout{10};
constexpr double kToolTimeoutSeconds = kToolTimeout.count();

constexpr const char* kProxySchema = "org.gnome.system.proxy";
// The path and socket units go with the service: either would start it again.
const std::vector<std::string> kUnits = {"zelvo-helper.path", "zelvo-helper.socket",
                                         "zelvo-helper.service"};

struct Ran {
  bool ok = false;  // exit status 0, in time
  std::string output;
};

using Clock = std::chrono::steady_clock;

// Runs `tool` until `until` at the latest (a time-out from now unless given);
// not at all once that has passed.
Ran run(const std::string& tool, const std::vector<std::string>& args,
        platform::ToolOptions options = {}, Clock::time_point until = Clock::now() + kToolTimeout) {
  options.timeoutSeconds = std::chrono::duration<double>(until - Clock::now()).count();
  if (options.timeoutSeconds <= 0) return {};
  const platform::ToolResult r = platform::runTool(platform::hostPath(tool), args, options);
  return {r.launched && !r.timedOut && !r.bySignal && r.status == 0, r.output};
}

// "Key=Value" lines, as loginctl show-session prints properties.
std::map<std::string, std::string> properties(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

std::optional<uid_t> parseUid(const std::string& text) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long v = std::stoul(text);
  if (v >= static_cast<uid_t>(-1)) return std::nullopt;
  return static_cast<uid_t>(v);
}

// A string as GVariant text: quoted, so that no host text can be read as
// another type or break out of the value.
std::string gvariantString(const std::string& s) {
  std::string out = "'";
  for (const char c : s) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

// A path as the value of a D-Bus address: bytes outside the plain set are
// written %XX.
std::string dbusAddressValue(const std::string& path) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : path) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("-_/.\\*").find(static_cast<char>(c)) != std::string_view::npos;
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

// How tools are run as the user `uid` in that user's session: their
// identity and groups, and an environment of their own (nothing of the
// daemon's), the bus at /run/user/<uid>/bus as pam_systemd sets it up. The
// home and runtime directories are resolved under the root like every path.
// All the runs of one look or change share one time-out: a bus that answers,
// but slowly, holds the other users up no longer than one that never does.
struct AsUser {
  platform::ToolOptions options;
  Clock::time_point until;
};
std::optional<AsUser> asUser(uid_t uid) {
  auto account = platform::lookupUser(uid);
  if (!account) return std::nullopt;
  const std::string runtime = platform::hostPath("/run/user/" + std::to_string(uid));
  AsUser user{{}, Clock::now() + kToolTimeout};
  platform::ToolOptions& options = user.options;
  options.identity = platform::Subprocess::Identity{uid, account->gid, account->groups};
  options.environment = std::map<std::string, std::string>{
      {"HOME", platform::hostPath(account->home)},
      {"USER", account->name},
      {"LOGNAME", account->name},
      {"PATH", "/usr/local/bin:/usr/bin:/bin"},
      {"XDG_RUNTIME_DIR", runtime},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dbusAddressValue(runtime + "/bus")},
  };
  return user;
}

// A key of the user's proxy settings as gsettings prints it ("'manual'"),
// without the newline; nothing when it cannot be read. Standard output
// alone: GLib and dconf print their warnings on standard error.
std::optional<std::string> readKey(const AsUser& user, const std::string& schema, const char* key) {
  platform::ToolOptions options = user.options;
  options.captureErrors = false;
  const Ran value = run("/usr/bin/gsettings", {"get", schema, key}, options, user.until);
  if (!value.ok || value.output.empty() || value.output.back() != '\n') return std::nullopt;
  return value.output.substr(0, value.output.size() - 1);
}

// The user's proxy mode, one of the schema's three; empty otherwise.
std::string readMode(const AsUser& user) {
  const auto mode = readKey(user, kProxySchema, "mode");
  const bool known = mode && (*mode == "'none'" || *mode == "'manual'" || *mode == "'auto'");
  return known ? *mode : std::string();
}

class LinuxHost final : public HostBackend {
 public:
  // Users with an active graphical session of their own, in logind's order;
  // a user with several sessions once (the settings are the user's). Greeter
  // sessions, text consoles and sessions in the background are passed over.
  std::vector<ProxyTarget> listTargets() override {
    const Ran list = run("/usr/bin/loginctl", {"list-sessions", "--no-legend"});
    if (!list.ok) return {};
    std::vector<ProxyTarget> targets;
    std::set<uid_t> seen;
    std::istringstream lines(list.output);
    for (std::string line; std::getline(lines, line);) {
      std::string id;
      std::istringstream(line) >> id;
      if (id.empty() || id.front() == '-') continue;
      const Ran show = run("/usr/bin/loginctl", {"show-session", id, "-p", "Name", "-p", "User",
                                                 "-p", "Type", "-p", "Class", "-p", "Active"});
      if (!show.ok) continue;  // ended since it was listed
      auto p = properties(show.output);
      const auto uid = parseUid(p["User"]);
      const bool graphical = p["Type"] == "x11" || p["Type"] == "wayland" || p["Type"] == "mir";
      if (!uid || !graphical || p["Class"] != "user" || p["Active"] != "yes") continue;
      if (seen.insert(*uid).second) targets.push_back({p["Name"], *uid});
    }
    return targets;
  }

  // The hosts and ports first and the mode last, so the desktop never
  // switches to a half-written proxy. A user's first failed run ends that
  // user's change: on a bus that does not answer, the rest would fail too.
  // gsettings exits 0 even when its write never reached the user's settings
  // (no bus, say), so the change counts only when the mode reads back.
  bool switchProxy(const ProxyTarget& target, bool enable, const std::string& host,
                   int64_t httpPort, int64_t socksPort) override {
    const auto user = asUser(target.owner);
    if (!user) return false;
    std::vector<std::vector<std::string>> steps;
    if (enable) {
      const std::string proxyHost = gvariantString(host);
      for (const auto& [kind, port] :
           {std::pair{"http", httpPort}, {"https", httpPort}, {"socks", socksPort}}) {
        const std::string schema = std::string(kProxySchema) + "." + kind;
        steps.push_back({"set", schema, "host", proxyHost});
        steps.push_back({"set", schema, "port", std::to_string(port)});
      }
    }
    const std::string mode = enable ? "'manual'" : "'none'";
    steps.push_back({"set", kProxySchema, "mode", mode});
    for (const auto& args : steps) {
      if (!run("/usr/bin/gsettings", args, user->options, user->until).ok) return false;
    }
    return readMode(*user) == mode;
  }

  // Elsewhere only on evidence: settings that cannot be reached (a home not
  // mounted yet) read as the defaults, mode 'none' and no host, and so does
  // a user who never had a proxy; the helper always writes a host. A user
  // whose switch-on never reached their settings thus stays recorded, and
  // costs a few looks again at each change of the sessions.
  ProxyReading readWebProxy(const ProxyTarget& target) override {
    const auto user = asUser(target.owner);
    if (!user) return ProxyReading::Unreadable;
    const std::string mode = readMode(*user);
    if (mode.empty()) return ProxyReading::Unreadable;
    if (mode == "'auto'") return ProxyReading::Elsewhere;  // a configuration URL of their own
    const auto host = readKey(*user, std::string(kProxySchema) + ".http", "host");
    if (!host) return ProxyReading::Unreadable;
    if (mode == "'none'") return *host == "''" ? ProxyReading::Unreadable : ProxyReading::Elsewhere;
    return namesThisMachine(*host) ? ProxyReading::Here : ProxyReading::Elsewhere;
  }

  std::string_view targetsLabel() const override { return "for users"; }
  std::string_view noTargetsLine() const override { return "no graphical sessions"; }
  // The data directory, where the installed kernel runs from: a trial run
  // from /var/tmp fails wherever that is mounted noexec (hardened hosts),
  // and no other user can create anything in a directory of root's.
  std::string_view temporaryParent() const override { return KernelProcessManager::kDataDirectory; }
  bool targetsShareSettings() const override { return false; }
  // logind's, as sd_login_monitor watches it.
  std::string_view sessionDirectory() const override { return "/run/systemd/sessions"; }

  // systemd-resolved's cache where it runs; otherwise nscd's. "Runs" is
  // decided by asking: resolvectl fails (or is absent) where resolved does
  // not run, and so does nscd -i where nscd does not.
  FlushResult flushDNS() override {
    if (runFlushCommand(platform::hostPath("/usr/bin/resolvectl"), {"flush-caches"})) {
      return {true, "resolvectl=true"};
    }
    const bool nscd = runFlushCommand(platform::hostPath("/usr/sbin/nscd"), {"-i", "hosts"});
    return {nscd, std::string("resolvectl=false nscd=") + (nscd ? "true" : "false")};
  }

  // Disabling only: stopping the service here would have systemd end this
  // process while it waits, before the client has its reply. The stop comes
  // in finishRemoval.
  bool removeService() override {
    std::vector<std::string> args{"disable"};
    args.insert(args.end(), kUnits.begin(), kUnits.end());
    platform::ToolOptions options;
    options.captureOutput = false;
    options.timeoutSeconds = kToolTimeoutSeconds;
    const auto r = platform::runTool(platform::hostPath("/usr/bin/systemctl"), args, options);
    std::string failure;
    if (!r.launched) {
      failure = r.launchError ? r.launchError->localizedDescription() : "not started";
    } else if (r.timedOut) {
      failure = "systemctl timed out";
    } else if (r.bySignal || r.status != 0) {
      failure = "systemctl " + std::string(r.bySignal ? "killed by signal " : "exited with ") +
                std::to_string(r.status);
    }
    if (!failure.empty()) {
      Helper::log("Failed to disable helper units: " + failure);
      return false;
    }
    Helper::log("Helper units disabled");
    return true;
  }

  // Queued, not waited for: the stop ends this process, which is about to
  // end anyway. A unit stopped on purpose is not restarted.
  void finishRemoval() override {
    std::vector<std::string> args{"stop", "--no-block"};
    args.insert(args.end(), kUnits.begin(), kUnits.end());
    platform::ToolOptions options;
    options.captureOutput = false;
    run("/usr/bin/systemctl", args, options);
  }
};

}  // namespace

std::shared_ptr<HostBackend> makeLinuxHost() {
  return std::make_shared<LinuxHost>();
}

}  // namespace zelvo::host
