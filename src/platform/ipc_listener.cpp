#include "platform/ipc_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/error.h"
#if defined(__APPLE__)
#include <launch.h>
#endif
#include "platform/log.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace zelvo::platform {

namespace {
constexpr uint64_t kListenId = 1;
constexpr uint64_t kWakeId = 2;
constexpr uint64_t kFirstConnectionId = 16;
constexpr size_t kReadChunk = 64 * 1024;
// Reads per readiness event, so that one busy peer cannot starve the others;
// level-triggered epoll brings the I/O thread back for the rest.
constexpr int kReadsPerEvent = 4;
constexpr int kAcceptsPerEvent = 64;
// Requests up to this size are decoded on the I/O thread (a few
// microseconds), so that immediate methods can be answered there.
constexpr size_t kParseOnLoopBytes = 4096;
// What a small request counts for until it is answered: its reply's state
// and the work it started (a kernel request, say) cost about this much, so a
// peer that keeps requests unanswered by the thousand runs into its backlog
// and budget like one that sends big ones.
constexpr size_t kUnansweredRequestBytes = 1024;
// After running out of descriptors, accepting pauses this long instead of
// spinning on a listening socket that stays readable.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// Open connections, in all and per user: far above what any client keeps
// (1,000 idle connections of one user fit), far below what would exhaust
// the daemon's descriptors.
constexpr size_t kMaxConnections = 4096;
constexpr size_t kMaxConnectionsPerUser = 2048;
// Restricted peers as a class, whatever their uids: however many accounts a
// user controls, they cannot take the slots that trusted clients need.
constexpr size_t kMaxRestrictedConnections = kMaxConnections / 2;
// A frame begun must be finished within this; a peer that stops halfway
// would otherwise hold its partial frame for ever.
constexpr auto kPartialFrameLimit = std::chrono::seconds(30);
constexpr auto kPartialFrameSweep = std::chrono::seconds(1);
// Refusals are logged at most this often.
constexpr auto kLimitLogInterval = std::chrono::seconds(1);

// The listening socket a service manager handed over, or -1: systemd's
// LISTEN_FDS protocol (descriptors from 3 on, meant for the process named by
// LISTEN_PID) on Linux, launchd's socket activation on macOS. Only a
// listening Unix stream socket is taken. The variables are cleared either
// way, so that no child of ours takes them for its own.
#if defined(__APPLE__)
int inheritedListener() {
  int* fds = nullptr;
  size_t count = 0;
  if (::launch_activate_socket("Listeners", &fds, &count) != 0 || count == 0) return -1;
  for (size_t i = 1; i < count; ++i) ::close(fds[i]);
  const int fd = fds[0];
  ::free(fds);
  return fd;
}
#else
int inheritedListener() {
  constexpr int kFirstHandedFd = 3;
  const char* pid = ::getenv("LISTEN_PID");
  const char* fds = ::getenv("LISTEN_FDS");
  const bool ours =
      pid && fds && std::strtoll(pid, nullptr, 10) == ::getpid() && std::atoi(fds) >= 1;
  // The variables stay: other threads may read the environment by now, and
  // children ignore them, since LISTEN_PID names this process only.
  if (!ours) return -1;
  const int fd = kFirstHandedFd;
  int type = 0, listening = 0;
  socklen_t typeLen = sizeof type, listeningLen = sizeof listening;
  sockaddr_storage addr{};
  socklen_t addrLen = sizeof addr;
  const bool usable =
      ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 && type == SOCK_STREAM &&
      ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningLen) == 0 && listening &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addrLen) == 0 &&
      addr.ss_family == AF_UNIX;
  if (!usable) {
    helperLog("IPC: the descriptor handed over is not a listening Unix socket; binding our own");
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}
#endif

// Whether another process listens on the socket file at `path` (a service
// manager's socket unit waiting to start us): binding afresh would take the
// path from under it, and clients would find nobody once we are gone. Read
// from the kernel's table of Unix sockets; a connection would start the
// service it waits for instead.
bool servedByAnother(const std::string& path) {
  struct stat ours {};
  if (::stat(path.c_str(), &ours) != 0 || !S_ISSOCK(ours.st_mode)) return false;
  std::ifstream table("/proc/net/unix");
  for (std::string line; std::getline(table, line);) {
    // Num RefCount Protocol Flags Type St Inode Path; the listening flag
    // (__SO_ACCEPTCON) is 1 << 16. The header line has no number to read.
    unsigned long flags = 0;
    int pathAt = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %lx %*s %*s %*s %n", &flags, &pathAt) < 1 ||
        pathAt == 0 || (flags & 0x10000) == 0) {
      continue;
    }
    struct stat st {};
    if (::stat(line.c_str() + pathAt, &st) == 0 && st.st_dev == ours.st_dev &&
        st.st_ino == ours.st_ino) {
      return true;
    }
  }
  return false;
}

std::vector<gid_t> peerGroups(int fd) {
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    socklen_t len = socklen_t(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
      groups.resize(len / sizeof(gid_t));
      return groups;
    }
    if (errno != ERANGE) break;
    groups.resize(len / sizeof(gid_t) + 1);  // the kernel said how many there are
  }
  return {};
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A closed connection's memory is freed on whichever threads held it last,
// into their malloc arenas, and glibc hands an arena's free pages back to
// the system only from its top: after a burst of clients the idle daemon
// would keep its peak for good (1,000 connections: about 15 MiB against
// under 4). One trim a second after closes gives those pages back.
void trimHeapSoon() {
#if defined(__GLIBC__)
  static std::atomic<bool> pending{false};
  if (pending.exchange(true)) return;
  globalQueue(QoS::Utility).after(Seconds(1.0), [] {
    pending.store(false);
    ::malloc_trim(0);
  });
#endif
}
}  // namespace

// The listener's I/O thread and everything only it touches.
class IpcEventLoop : public detail::IpcLoop, public std::enable_shared_from_this<IpcEventLoop> {
 public:
  IpcEventLoop(int listenFd, std::string label, IpcListener::Delegate delegate,
               IpcListener::Restrictor restrictor, uint32_t restrictedMaxFrame)
      : listenFd_(listenFd),
        label_(std::move(label)),
        delegate_(std::move(delegate)),
        restrictor_(std::move(restrictor)),
        restrictedMaxFrame_(restrictedMaxFrame),
        delegateQueue_(makeSerialQueue(label_, &globalQueue(QoS::Default))),
        restrictedLane_(makeSerialQueue(label_ + ".restricted", &globalQueue(QoS::Default))) {}

  ~IpcEventLoop() override {
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (listenFd_ >= 0) ::close(listenFd_);
  }

  void start() {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) throw Error::fromErrno(errno, "epoll_create1");
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) throw Error::fromErrno(errno, "eventfd");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) < 0) {
      throw Error::fromErrno(errno, "epoll_ctl");
    }
    ev.data.u64 = kListenId;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev) < 0) {
      throw Error::fromErrno(errno, "epoll_ctl");
    }
    thread_ = std::thread([this] { run(); });
  }

  void stop() {
    {
      std::lock_guard lock(tasksLock_);
      if (stopping_) return;
      stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    // The thread is gone, so its state is ours now.
    for (auto& [id, conn] : connections_) conn->closeFromLoop(true);
    connections_.clear();
    count_.store(0);
    restrictedCount_ = 0;
  }

  void requestClose(uint64_t id) override { post({Task::Close, id}); }
  void requestWatch(uint64_t id) override { post({Task::Watch, id}); }

  size_t connectionCount() const { return count_.load(); }

 private:
  struct Task {
    enum Kind { Close, Watch } kind;
    uint64_t id;
  };

  void post(Task task) {
    bool first;
    {
      std::lock_guard lock(tasksLock_);
      if (stopping_) return;
      first = tasks_.empty();
      tasks_.push_back(task);
    }
    // One wake-up per batch: the I/O thread takes every queued task at once.
    if (first) wake();
  }

  void wake() {
    uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Returns false when the loop must end.
  bool runTasks() {
    uint64_t drained;
    while (::read(wakeFd_, &drained, sizeof drained) < 0 && errno == EINTR) {
    }
    std::vector<Task> tasks;
    {
      std::lock_guard lock(tasksLock_);
      if (stopping_) return false;
      tasks.swap(tasks_);
    }
    for (const Task& t : tasks) {
      if (t.kind == Task::Close) {
        close(t.id, /*stopDelivery=*/true);
      } else {
        watch(t.id);
      }
    }
    return true;
  }

  void run() {
    epoll_event events[64];
    for (;;) {
      using Clock = std::chrono::steady_clock;
      std::optional<Clock::time_point> wakeAt;
      if (acceptPaused_) wakeAt = acceptResumeAt_;
      if (partialFrames_ > 0 && (!wakeAt || nextSweep_ < *wakeAt)) wakeAt = nextSweep_;
      int timeout = -1;
      if (wakeAt) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*wakeAt - Clock::now()).count();
        timeout = left > 0 ? int(left) + 1 : 0;
      }
      int n = ::epoll_wait(epollFd_, events, 64, timeout);
      if (n < 0) {
        if (errno == EINTR) continue;
        helperLog(std::string("IPC: epoll_wait failed: ") + errnoText(errno));
        return;
      }
      const auto now = Clock::now();
      if (acceptPaused_ && now >= acceptResumeAt_) resumeAccepting();
      if (partialFrames_ > 0 && now >= nextSweep_) closeStalledFrames(now);
      for (int i = 0; i < n; ++i) {
        uint64_t id = events[i].data.u64;
        if (id == kWakeId) {
          if (!runTasks()) return;
        } else if (id == kListenId) {
          acceptAll();
        } else {
          auto it = connections_.find(id);
          if (it == connections_.end()) continue;  // closed earlier in this batch
          std::shared_ptr<IpcConnection> conn = it->second;
          try {
            readFrom(conn);
          } catch (const std::exception& e) {
            // Memory for a large frame can run out; only its sender pays.
            helperLog(std::string("IPC: closing a connection: ") + e.what());
            close(id, /*stopDelivery=*/true);
          }
        }
      }
    }
  }

  void acceptAll() {
    // A bounded number per wake-up: a peer that keeps the backlog full must
    // not keep this thread from the connections already open. The listener
    // is level-triggered, so the rest is reported again at once.
    for (int round = 0; round < kAcceptsPerEvent; ++round) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          pauseAccepting();
        }
        return;
      }
      ucred cred{};
      socklen_t len = sizeof cred;
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) {
        cred = ucred{};
        cred.uid = cred.gid = uid_t(-1);  // unknown: nobody's, never root's
      }
      const bool restricted = restrictor_ && restrictor_(cred.uid, cred.gid, peerGroups(fd));
      size_t& ofUser = perUser_[cred.uid];
      if (connections_.size() >= kMaxConnections || ofUser >= kMaxConnectionsPerUser ||
          (restricted && restrictedCount_ >= kMaxRestrictedConnections)) {
        ::close(fd);
        if (ofUser == 0) perUser_.erase(cred.uid);
        refusedOverLimit(cred);
        continue;
      }
      ++ofUser;
      restrictedCount_ += restricted;
      uint64_t id = nextId_++;
      auto queue = makeSerialQueue(label_ + ".connection." + std::to_string(id),
                                   restricted ? restrictedLane_.get() : &globalQueue(QoS::Default));
      std::shared_ptr<IpcConnection> conn(new IpcConnection(
          id, fd, cred.pid, cred.uid, cred.gid, weak_from_this(), std::move(queue), budgets_));
      if (restricted) conn->restrict(restrictedMaxFrame_);
      connections_.emplace(id, conn);
      count_.fetch_add(1);
      delegateQueue_->async([weakLoop = weak_from_this(), conn] {
        auto loop = weakLoop.lock();
        if (!loop) return;
        bool accepted = false;
        const RestrictedPeerLines lines(conn->isRestricted());
        try {
          accepted = loop->delegate_ && loop->delegate_(conn);
        } catch (const std::exception& e) {
          helperLog(std::string("IPC: listener delegate failed: ") + e.what());
        }
        conn->delegateReturned(accepted);
      });
    }
  }

  void refusedOverLimit(const ucred& cred) {
    ++refusedSinceLog_;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextLimitLog_) return;
    nextLimitLog_ = now + kLimitLogInterval;
    helperLog("IPC: connection limit reached (" + std::to_string(connections_.size()) + " open, " +
              std::to_string(perUser_[cred.uid]) + " of uid " + std::to_string(cred.uid) +
              "); refused " + std::to_string(refusedSinceLog_) +
              " connection(s), the latest from pid " + std::to_string(cred.pid));
    refusedSinceLog_ = 0;
  }

  // Keeps the budget's share of the frame in progress (its announced length,
  // from its header on, until enqueue counts the whole body), the count of
  // connections with a frame in progress and when each began, in step with
  // what the assembler holds.
  void trackFrame(IpcConnection& conn) {
    const size_t announced = conn.assembler_.announcedBytes();
    if (announced != conn.announced_) {
      conn.budget().add(announced);
      conn.budget().remove(conn.announced_);
      conn.announced_ = announced;
    }
    const bool partial = conn.assembler_.bufferedBytes() > 0;
    const bool tracked = conn.partialSince_ != std::chrono::steady_clock::time_point{};
    if (partial == tracked) return;
    if (partial) {
      conn.partialSince_ = std::chrono::steady_clock::now();
      if (partialFrames_++ == 0) nextSweep_ = conn.partialSince_ + kPartialFrameSweep;
    } else {
      conn.partialSince_ = {};
      --partialFrames_;
    }
  }

  void closeStalledFrames(std::chrono::steady_clock::time_point now) {
    nextSweep_ = now + kPartialFrameSweep;
    std::vector<uint64_t> stalled;
    for (const auto& [id, conn] : connections_) {
      // Only while the peer is read: a paused connection's frame waits on us.
      if (conn->watched_ && conn->partialSince_ != std::chrono::steady_clock::time_point{} &&
          now - conn->partialSince_ >= kPartialFrameLimit) {
        stalled.push_back(id);
      }
    }
    for (uint64_t id : stalled) {
      const RestrictedPeerLines lines(connections_[id]->isRestricted());
      helperLog("IPC: closing the connection of pid " +
                std::to_string(connections_[id]->processIdentifier()) +
                ": a frame left unfinished for 30 s");
      close(id, /*stopDelivery=*/true);
    }
  }

  void pauseAccepting() {
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
    acceptPaused_ = true;
    acceptResumeAt_ = std::chrono::steady_clock::now() + kAcceptBackoff;
  }

  void resumeAccepting() {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenId;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    acceptPaused_ = false;
  }

  void readFrom(const std::shared_ptr<IpcConnection>& conn) {
    if (readBuffer_.empty()) readBuffer_.resize(kReadChunk);
    if (!conn->isValid()) return;  // a close is already on its way
    for (int round = 0; round < kReadsPerEvent; ++round) {
      // No new frame while the budget is spent; one begun is read to its end.
      if (conn->announced_ == 0 && conn->budget().high()) {
        pause(conn, /*forBudget=*/true);
        return;
      }
      // A restricted peer is read frame by frame, so that what waits in our
      // memory is never more than the frame it is sending.
      const size_t want = conn->restricted_
                              ? std::min(readBuffer_.size(), conn->assembler_.bytesToFrameEnd())
                              : readBuffer_.size();
      ssize_t n = ::read(conn->fd_, readBuffer_.data(), want);
      if (n > 0) {
        bool ok = conn->assembler_.feed(readBuffer_.data(), size_t(n),
                                        [&](std::vector<uint8_t>&& body) { enqueue(conn, body); });
        if (!ok) {
          close(conn->id_, /*stopDelivery=*/true);
          return;
        }
        trackFrame(*conn);
        if (conn->backlogHigh()) {
          pause(conn, /*forBudget=*/false);
          return;
        }
        if (size_t(n) < want) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n == 0 && onlySendingSideShut(*conn)) {
        // The peer waits for its replies: those go out first (see released()).
        unwatch(*conn);
        conn->hungUp_.store(true);
        if (conn->queuedBytes_.load() > 0) return;
      }
      // End of stream or a reset: what the peer sent before still counts.
      close(conn->id_, /*stopDelivery=*/false);
      return;
    }
  }

  // At end of stream: whether the peer shut down only its sending side (a
  // peer that closed gets hang-up too), with no frame of it left unfinished.
  static bool onlySendingSideShut(const IpcConnection& conn) {
    pollfd p{conn.fd_, 0, 0};
    return ::poll(&p, 1, 0) == 0 && conn.assembler_.bufferedBytes() == 0;
  }

  // Counts a request against its connection until it is answered. One that
  // cannot even be queued (memory) is taken back out, or the shared budget
  // would stay spent for good.
  template <class Fn>
  static void admitAndQueue(const std::shared_ptr<IpcConnection>& conn, size_t bytes, Fn&& work) {
    conn->admitted(bytes);
    try {
      conn->queue_->async(std::forward<Fn>(work));
    } catch (...) {
      conn->dispatched();
      conn->released(bytes);
      throw;
    }
  }

  void enqueue(const std::shared_ptr<IpcConnection>& conn, std::vector<uint8_t>& body) {
    const size_t size = body.size();
    if (size > kParseOnLoopBytes) {
      // Decoding a big request would hold up every other connection; its
      // own queue does it.
      admitAndQueue(conn, size,
                    [conn, body = std::move(body)]() mutable { conn->deliver(std::move(body)); });
      return;
    }
    IpcConnection::Request request = conn->parse(std::move(body));
    const size_t cost = std::max(size, kUnansweredRequestBytes);
    if (request.method && request.method->immediate && conn->roomToReply()) {
      // Answered here when nothing else of this connection is pending or
      // running: same order, one hand-off fewer.
      Work now = [&conn, &request, cost] {
        const LogBatch lines;              // the handler's lines in one write, before its reply
        const RepliesNeverWait neverWait;  // this thread serves every connection
        conn->admitted(cost);
        conn->deliverParsed(std::move(request), cost);
      };
      if (runIfIdle(*conn->queue_, now)) return;
    }
    admitAndQueue(conn, cost, [conn, request = std::move(request), cost]() mutable {
      conn->deliverParsed(std::move(request), cost);
    });
  }

  void pause(const std::shared_ptr<IpcConnection>& conn, bool forBudget) {
    unwatch(*conn);
    conn->waitsForBudget_.store(forBudget);
    conn->paused_.store(true);
    if (forBudget) conn->budget().waitFor(conn);
    // The queue may have drained between the check and the flag; whoever
    // clears the flag first re-arms the connection.
    if (conn->backlogLow() && (!forBudget || conn->budget().low()) &&
        conn->paused_.exchange(false)) {
      watch(conn->id_);
    }
  }

  void watch(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    IpcConnection& conn = *it->second;
    if (conn.watched_ || !conn.isValid() || conn.hungUp_.load()) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, conn.fd_, &ev) < 0) {
      close(id, /*stopDelivery=*/true);
      return;
    }
    conn.watched_ = true;
    // A frame's time runs only while we read it.
    if (conn.partialSince_ != std::chrono::steady_clock::time_point{}) {
      conn.partialSince_ = std::chrono::steady_clock::now();
    }
  }

  void unwatch(IpcConnection& conn) {
    if (!conn.watched_) return;
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, conn.fd_, nullptr);
    conn.watched_ = false;
  }

  void close(uint64_t id, bool stopDelivery) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    std::shared_ptr<IpcConnection> conn = std::move(it->second);
    connections_.erase(it);
    count_.fetch_sub(1);
    restrictedCount_ -= conn->isRestricted();
    if (auto user = perUser_.find(conn->uid_); user != perUser_.end() && --user->second == 0) {
      perUser_.erase(user);
    }
    if (conn->partialSince_ != std::chrono::steady_clock::time_point{}) --partialFrames_;
    conn->budget().remove(std::exchange(conn->announced_, 0));
    unwatch(*conn);
    conn->closeFromLoop(stopDelivery);
    trimHeapSoon();
  }

  const int listenFd_;
  const std::string label_;
  const IpcListener::Delegate delegate_;
  const IpcListener::Restrictor restrictor_;
  const uint32_t restrictedMaxFrame_;
  const std::shared_ptr<Queue> delegateQueue_;
  const std::shared_ptr<Queue> restrictedLane_;
  int epollFd_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;

  std::mutex tasksLock_;  // tasks_, stopping_
  std::vector<Task> tasks_;
  bool stopping_ = false;

  // I/O thread only (and the stopping thread after join).
  std::unordered_map<uint64_t, std::shared_ptr<IpcConnection>> connections_;
  uint64_t nextId_ = kFirstConnectionId;
  std::vector<uint8_t> readBuffer_;
  bool acceptPaused_ = false;
  std::chrono::steady_clock::time_point acceptResumeAt_;
  std::unordered_map<uid_t, size_t> perUser_;
  size_t restrictedCount_ = 0;  // open restricted connections
  size_t refusedSinceLog_ = 0;
  std::chrono::steady_clock::time_point nextLimitLog_{};
  size_t partialFrames_ = 0;
  std::chrono::steady_clock::time_point nextSweep_{};
  const std::shared_ptr<detail::ByteBudgets> budgets_ = std::make_shared<detail::ByteBudgets>();

  std::atomic<size_t> count_{0};
};

IpcListener::IpcListener(std::string socketPath, std::string label)
    : socketPath_(std::move(socketPath)), label_(std::move(label)) {}

IpcListener::~IpcListener() {
  invalidate();
}

void IpcListener::setDelegate(Delegate delegate) {
  delegate_ = std::move(delegate);
}

void IpcListener::setRestrictor(Restrictor restrictor, uint32_t maxFrameBody) {
  restrictor_ = std::move(restrictor);
  restrictedMaxFrame_ = maxFrameBody;
}

void IpcListener::resume() {
  if (loop_) return;
  // A socket handed over by the service manager is its to bind and unlink.
  int fd = inheritedListener();
  handedOver_ = fd >= 0;
  if (handedOver_) {
    helperLog("IPC: serving the socket handed over by the service manager");
  } else {
    fd = bindOwnSocket();
  }
  auto loop =
      std::make_shared<IpcEventLoop>(fd, label_, delegate_, restrictor_, restrictedMaxFrame_);
  loop->start();
  loop_ = std::move(loop);
}

int IpcListener::bindOwnSocket() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) {
    throw Error::fromErrno(ENAMETOOLONG, "bind " + socketPath_);
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

  auto slash = socketPath_.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string dir = socketPath_.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) < 0 && ::mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) {
      throw Error::fromErrno(errno, "mkdir " + dir);
    }
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) throw Error::fromErrno(errno, "socket");
  if (servedByAnother(socketPath_)) {
    throw Error::fromErrno(EADDRINUSE, socketPath_ + " (another process listens there)");
  }
  if (::unlink(socketPath_.c_str()) < 0 && errno != ENOENT) {
    throw Error::fromErrno(errno, "unlink " + socketPath_);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    throw Error::fromErrno(errno, "bind " + socketPath_);
  }
  // Any local process may connect, whatever the daemon's umask.
  if (::chmod(socketPath_.c_str(), 0666) < 0) throw Error::fromErrno(errno, "chmod " + socketPath_);
  if (::listen(fd.get(), SOMAXCONN) < 0) throw Error::fromErrno(errno, "listen " + socketPath_);

  return fd.release();
}

void IpcListener::invalidate() {
  if (!loop_) return;
  loop_->stop();
  loop_.reset();
  if (!handedOver_) ::unlink(socketPath_.c_str());
}

size_t IpcListener::connectionCount() const {
  return loop_ ? loop_->connectionCount() : 0;
}

}  // namespace zelvo::platform
