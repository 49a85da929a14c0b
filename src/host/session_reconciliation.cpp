// Session reconciliation. Where the system proxy is each desktop user's own
// (Linux), it is set and cleared in the sessions active at the time. A user
// who logs out while a kernel runs keeps a proxy pointing here: the client
// dies with the session, and by the time the watchdog clears the proxy that
// session is no longer active and its bus is going. A machine that went down
// with a kernel running leaves one behind for every user. Launch
// reconciliation looks once; this looks again whenever the sessions change,
// which is when such a user is back.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <system_error>
#include <thread>

#include "host/host_backend.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/host_paths.h"
#include "service/helper.h"

namespace zelvo {

namespace {

// A login rewrites its session's file several times within a second
// (opening, online, active): one look once it has been quiet a while does
// for all of them, and a stream of changes still gets a look now and then.
constexpr int64_t kQuietMilliseconds = 250;
constexpr std::chrono::milliseconds kLongestSettle{2000};

// A look that could not read or clear a user's proxy is repeated this many
// seconds later, each time farther apart: at a login the user's bus may not
// answer yet, and nothing else would look before the next change.
constexpr int kRetrySeconds[] = {2, 4, 8, 16, 32};

// Empties the watch's queue; false when the watch is broken, or ended with
// the directory (removed, or its file system unmounted).
bool drain(int fd) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_IGNORED) return false;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

// Blocks until the sessions have changed and settled; false when the watch
// is broken.
bool waitForChange(int fd) {
  pollfd watch{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&watch, 1, -1);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return false;
  }
  if (!drain(fd)) return false;
  using namespace std::chrono;
  const auto latest = steady_clock::now() + kLongestSettle;
  for (auto now = steady_clock::now(); now < latest; now = steady_clock::now()) {
    const auto left = duration_cast<milliseconds>(latest - now).count() + 1;
    const int ready =
        ::poll(&watch, 1, static_cast<int>(std::min<int64_t>(kQuietMilliseconds, left)));
    if (ready == 0) break;
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0 && !drain(fd)) return false;
  }
  return true;
}

}  // namespace

void Helper::watchSessions() {
  const std::string_view where = host_->sessionDirectory();
  if (where.empty()) return;
  const std::string directory = platform::hostPath(std::string(where));
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const uint32_t changes =
      IN_ONLYDIR | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
  if (fd < 0 || ::inotify_add_watch(fd, directory.c_str(), changes) < 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    log("会话对账：无法监视登录会话 " + directory + ": " + platform::errnoText(err));
    return;
  }
  try {
    // Its own thread, blocked in poll between changes: nothing to do costs
    // nothing, and the tool runs of a look hold up no queue.
    std::thread([weakSelf = weak(), fd, directory] {
      while (waitForChange(fd)) {
        const auto self = weakSelf.lock();
        if (!self) break;
        self->reconcileSessions();
      }
      ::close(fd);
      log("会话对账：不再监视登录会话 " + directory);
    }).detach();
  } catch (const std::system_error& e) {
    ::close(fd);
    log(std::string("会话对账：无法监视登录会话: ") + e.what());
  }
}

void Helper::reconcileSessions() {
  lookAtSessions(++leftoverLooks_, 0);
}

void Helper::lookAtSessions(uint64_t look, size_t retry) {
  Leftovers found = Leftovers::Unsettled;
  bool switching = false;
  try {
    std::unique_lock<std::mutex> proxy(systemProxyLock_, std::defer_lock);
    {
      // A kernel between restarts is meant to run: its proxy stays. The
      // proxy lock is taken before a start can go ahead, so that a client's
      // switch after its start comes after this look, never before it. A
      // switch under way may take its tools' time-outs (a user's bus that
      // does not answer): no start or stop waits for it here; the look
      // comes back later instead.
      const auto lifecycle = processManager_->holdLifecycle();
      if (processManager_->desiredRunning() || isKernelRunning()) {
        log("会话对账：内核在运行，系统代理不动");
        return;
      }
      (void)proxy.try_lock();
    }
    switching = !proxy.owns_lock();
    if (!switching) {
      found = clearLocalLeftoversLocked(
          "会话对账：无内核在运行，登录用户的系统代理仍指向本机 → 清理，恢复直连");
    }
  } catch (const std::exception& e) {
    // A tool that could not be started (no thread left to watch it).
    log(std::string("会话对账：失败: ") + e.what());
  }
  if (found == Leftovers::None) log("会话对账：无内核，无遗留的本机系统代理");
  if (switching) {
    // Not a failed look: its turn comes once the switch is over, however
    // long that takes, without using up a retry.
    log("会话对账：系统代理正在切换，" + std::to_string(kRetrySeconds[0]) + " 秒后再看");
    lookAt(look, retry, kRetrySeconds[0]);
  } else if (found == Leftovers::Unsettled) {
    lookAgainLater(look, retry);
  }
}

void Helper::lookAgainLater(uint64_t look, size_t retry) {
  if (retry == std::size(kRetrySeconds)) {
    log("会话对账：登录用户的系统代理仍未能读取或清理，等下一次会话变化");
    return;
  }
  const int seconds = kRetrySeconds[retry];
  log("会话对账：有登录用户的系统代理未能读取或清理，" + std::to_string(seconds) + " 秒后再看");
  lookAt(look, retry + 1, seconds);
}

void Helper::lookAt(uint64_t look, size_t retry, int seconds) {
  try {
    platform::globalQueue(platform::QoS::Utility)
        .after(platform::Seconds(seconds), [weakSelf = weak(), look, retry] {
          const auto self = weakSelf.lock();
          if (self && self->leftoverLooks_.load() == look) self->lookAtSessions(look, retry);
        });
  } catch (const std::exception& e) {
    log(std::string("会话对账：失败: ") + e.what());
  }
}

}  // namespace zelvo
