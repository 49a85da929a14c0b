// The system proxy: the web, secure web and SOCKS proxies of every target
// the host back end lists, switched together, and the test for a local proxy
// that a crashed run left behind.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <exception>
#include <fstream>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "host/host_backend.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/host_paths.h"
#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {

namespace {

const char* boolText(bool b) {
  return b ? "true" : "false";
}

// Runs one(i) for every target i; side by side where each target's settings
// are its user's own, so that a user whose bus does not answer (each run of
// theirs waits out its time-out) holds up no other user's switch, a clear
// after a dead kernel above all. In turn where the targets share settings,
// or where no thread can be had. A run that throws (no memory) is passed on
// once every run is done.
void forEachTarget(size_t count, bool sideBySide, const std::function<void(size_t)>& one) {
  std::mutex failedLock;
  std::exception_ptr failed;
  auto guarded = [&](size_t i) {
    try {
      one(i);
    } catch (...) {
      std::lock_guard<std::mutex> g(failedLock);
      if (!failed) failed = std::current_exception();
    }
  };
  std::vector<std::thread> others;
  others.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (sideBySide && i + 1 < count) {  // the last one on this thread
      try {
        others.emplace_back(guarded, i);
        continue;
      } catch (...) {  // no thread: this one in turn
      }
    }
    guarded(i);
  }
  for (std::thread& t : others) t.join();
  if (failed) std::rethrow_exception(failed);
}

}  // namespace

bool Helper::configureSystemProxy(bool enable, const std::string& host, int64_t httpPort,
                                  int64_t socksPort) {
  // The client, the watchdog, launch and session reconciliation and removal
  // all switch the proxy, from different threads. Two runs interleaving their
  // tool runs could leave a target half set and half cleared (say, the web
  // proxy on and the SOCKS proxy off), so each run holds the lock from its
  // listing to its last command and the later one wins as a whole. Holding
  // it across the tool runs is safe: nothing under it takes another lock,
  // and the back ends bound every run.
  std::lock_guard<std::mutex> guard(systemProxyLock_);
  return configureSystemProxyLocked(enable, host, httpPort, socksPort);
}

bool Helper::configureSystemProxyLocked(bool enable, const std::string& host, int64_t httpPort,
                                        int64_t socksPort) {
  logSwitch(enable, host, httpPort, socksPort);
  std::vector<host::ProxyTarget> targets = host_->listTargets();
  if (targets.empty()) {
    log(std::string(host_->noTargetsLine()));
    return false;
  }
  if (enable || host_->targetsShareSettings()) {
    return switchTargets(targets, enable, host, httpPort, socksPort);
  }
  // Each user's own: switching off is for a proxy this helper switched on
  // and that still points here. Another user's company proxy, or a local one
  // of their own (an authenticating proxy, Tor), stays on when this user's
  // client goes away.
  const std::string kept = keepPointingHere(targets);
  if (!kept.empty()) {
    log("system proxy left as it is " + std::string(host_->targetsLabel()) + ": " + kept);
  }
  return targets.empty() || switchTargets(targets, false, host, httpPort, socksPort);
}

std::string Helper::keepPointingHere(std::vector<host::ProxyTarget>& targets, bool* unread) {
  const bool ownSettings = !host_->targetsShareSettings();
  if (ownSettings) loadProxyUsers();
  std::vector<host::ProxyReading> readings(targets.size(), host::ProxyReading::Unreadable);
  forEachTarget(targets.size(), ownSettings, [&](size_t i) {
    // Without the record (unreadable), what points here is taken as ours:
    // a proxy left pointing at a dead kernel is the worse mistake.
    const host::ProxyTarget& t = targets[i];
    const bool ours = !ownSettings || !proxyUsersLoaded_ || proxyUsers_.contains(t.owner);
    readings[i] = ours ? host_->readWebProxy(t) : host::ProxyReading::Elsewhere;
  });
  bool usersChanged = false;
  std::string others;
  std::vector<host::ProxyTarget> here;
  for (size_t i = 0; i < targets.size(); ++i) {
    const host::ProxyTarget& t = targets[i];
    if (readings[i] == host::ProxyReading::Here) {
      here.push_back(t);
      continue;
    }
    if (readings[i] == host::ProxyReading::Unreadable && unread) *unread = true;
    // A user who has switched theirs off or pointed it elsewhere is no
    // longer the helper's: a local proxy of their own, set later, is kept.
    if (readings[i] == host::ProxyReading::Elsewhere && ownSettings) {
      usersChanged |= proxyUsers_.erase(t.owner) > 0;
    }
    others += (others.empty() ? "" : ", ") + t.name;
  }
  targets = std::move(here);
  if (usersChanged) saveProxyUsers();
  return others;
}

void Helper::logSwitch(bool enable, const std::string& host, int64_t httpPort, int64_t socksPort) {
  log(std::string("configureSystemProxy: enable=") + boolText(enable) +
      ", host=" + platform::forLog(host) + ", http=" + std::to_string(httpPort) +
      ", socks=" + std::to_string(socksPort));
}

bool Helper::switchTargets(const std::vector<host::ProxyTarget>& targets, bool enable,
                           const std::string& host, int64_t httpPort, int64_t socksPort,
                           bool* allTook) {
  const bool ownSettings = !host_->targetsShareSettings();
  if (ownSettings) loadProxyUsers();
  if (ownSettings && enable) {
    // Recorded before the first tool run: a proxy switched on (or half so,
    // or not read back) but not recorded could never be cleared after a
    // crash. One recorded in vain is harmless: a clear also needs the
    // proxy to point here.
    bool added = false;
    for (const host::ProxyTarget& target : targets) {
      added |= proxyUsers_.insert(target.owner).second;
    }
    if (added) saveProxyUsers();
  }
  std::vector<char> switched(targets.size(), 0);
  forEachTarget(targets.size(), ownSettings, [&](size_t i) {
    switched[i] = host_->switchProxy(targets[i], enable, host, httpPort, socksPort) ? 1 : 0;
  });
  bool usersChanged = false;
  std::string changed, failed;
  for (size_t i = 0; i < targets.size(); ++i) {
    std::string& names = switched[i] != 0 ? changed : failed;
    if (!names.empty()) names += ", ";
    names += targets[i].name;
    if (ownSettings && switched[i] != 0 && !enable) {
      usersChanged |= proxyUsers_.erase(targets[i].owner) > 0;
    }
  }
  if (usersChanged) saveProxyUsers();
  const std::string how = enable ? "enabled " : "disabled ";
  const std::string label(host_->targetsLabel());
  if (!changed.empty()) log("system proxy " + how + label + ": " + changed);
  if (!failed.empty()) log("system proxy could not be " + how + label + ": " + failed);
  if (allTook) *allTook = failed.empty();
  return !changed.empty();
}

Helper::Leftovers Helper::clearLocalLeftoversLocked(const std::string& line) {
  if (host_->targetsShareSettings()) {
    const std::vector<host::ProxyTarget> targets = host_->listTargets();
    if (targets.empty()) return Leftovers::None;
    // The daemon always sets all targets and all three kinds together, so
    // the first target's web proxy stands for the rest.
    const host::ProxyReading first = host_->readWebProxy(targets.front());
    if (first == host::ProxyReading::Unreadable) return Leftovers::Unsettled;
    if (first == host::ProxyReading::Elsewhere) return Leftovers::None;
    if (!line.empty()) log(line);
    // An ordinary clear, which lists the targets afresh; its result is not
    // looked at (shared settings are looked at once).
    configureSystemProxyLocked(false, "", 0, 0);
    return Leftovers::Cleared;
  }
  // Each user's own, as for a clear: only a proxy this helper switched on
  // and that still points here.
  loadProxyUsers();
  if (!proxyUsersLoaded_) return Leftovers::Unsettled;
  if (proxyUsers_.empty()) return Leftovers::None;  // nobody to ask
  std::vector<host::ProxyTarget> targets = host_->listTargets();
  bool unread = false;
  keepPointingHere(targets, &unread);
  if (targets.empty()) return unread ? Leftovers::Unsettled : Leftovers::None;
  if (!line.empty()) log(line);
  logSwitch(false, "", 0, 0);
  bool allTook = false;
  switchTargets(targets, false, "", 0, 0, &allTook);
  return unread || !allTook ? Leftovers::Unsettled : Leftovers::Cleared;
}

std::string Helper::proxyUsersPath() const {
  return platform::joinPath(processManager_->dataPath(), "proxy-users");
}

void Helper::loadProxyUsers() {
  if (proxyUsersLoaded_) return;
  const std::string path = proxyUsersPath();
  std::ifstream in(path);
  if (!in && errno != ENOENT) {
    // Tried again next time rather than taken for empty, which the next
    // save would write over the list.
    log("system proxy users could not be read from " + path + ": " + platform::errnoText(errno));
    return;
  }
  proxyUsersLoaded_ = true;
  for (std::string line; std::getline(in, line);) {
    uint64_t uid = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), uid);
    if (ec == std::errc() && end == line.data() + line.size() && uid < static_cast<uid_t>(-1)) {
      proxyUsers_.insert(static_cast<uid_t>(uid));
    }
  }
}

void Helper::saveProxyUsers() {
  // A list that could not be read is not written over: the users in it
  // would be lost (the clear then takes whatever points here as ours).
  if (!proxyUsersLoaded_) return;
  const std::string path = proxyUsersPath();
  if (proxyUsers_.empty()) {
    ::unlink(path.c_str());
    return;
  }
  std::string text;
  for (const uid_t uid : proxyUsers_) text += std::to_string(uid) + "\n";
  // Whole or not at all, and on the disk before the rename: a power loss is
  // when this list matters most. Written to a fresh file of our own, never
  // one found there (a pipe would block us).
  const std::string next = path + ".new";
  ::unlink(next.c_str());
  const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 || ::fsync(fd) != 0) {
      err = errno;
    } else if (written != static_cast<ssize_t>(text.size())) {
      err = EIO;
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(next.c_str(), path.c_str()) != 0) err = errno;
    if (err == 0) {
      // The rename itself reaches the disk with its directory.
      const int dir =
          ::open(processManager_->dataPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
      }
      return;
    }
  }
  log("system proxy users could not be saved to " + path + ": " + platform::errnoText(err));
  ::unlink(next.c_str());
}

void Helper::setSystemProxy(const std::string& host, int64_t httpPort, int64_t socksPort,
                            BoolReply completion) {
  log("setSystemProxy called: host=" + platform::forLog(host) +
      ", httpPort=" + std::to_string(httpPort) + ", socksPort=" + std::to_string(socksPort));
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, host, httpPort, socksPort, completion = std::move(completion)] {
        bool result = false;
        if (auto self = weakSelf.lock()) {
          result = self->configureSystemProxy(true, host, httpPort, socksPort);
        }
        platform::mainQueue().async([weakSelf, result, completion] {
          if (weakSelf.lock()) log(std::string("setSystemProxy result: ") + boolText(result));
          completion(result);
        });
      });
}

void Helper::clearSystemProxy(BoolReply completion) {
  log("clearSystemProxy called");
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, completion = std::move(completion)] {
        bool result = false;
        if (auto self = weakSelf.lock()) result = self->configureSystemProxy(false, "", 0, 0);
        platform::mainQueue().async([weakSelf, result, completion] {
          if (weakSelf.lock()) log(std::string("clearSystemProxy result: ") + boolText(result));
          completion(result);
        });
      });
}

}  // namespace zelvo
