#include "platform/ipc_listener.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "platform/error.h"
#include "platform/log.h"

namespace zelvo::platform {

namespace {
constexpr uint64_t kListenId = 1;
constexpr uint64_t kWakeId = 2;
constexpr uint64_t kFirstConnectionId = 16;
constexpr size_t kReadChunk = 64 * 1024;
// Reads per readiness event, so that one busy peer cannot starve the others;
// level-triggered epoll brings the I/O thread back for the rest.
constexpr int kReadsPerEvent = 4;
// Requests up to this size are decoded on the I/O thread (a few
// microseconds), so that immediate methods can be answered there.
constexpr size_t kParseOnLoopBytes = 4096;
// After running out of descriptors, accepting pauses this long instead of
// spinning on a listening socket that stays readable.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

Error posixError(int err, const std::string& what) {
  return Error("NSPOSIXErrorDomain", err, what + ": " + std::strerror(err));
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
}  // namespace

// The listener's I/O thread and everything only it touches.
class IpcEventLoop : public detail::IpcLoop, public std::enable_shared_from_this<IpcEventLoop> {
 public:
  IpcEventLoop(int listenFd, std::string label, IpcListener::Delegate delegate)
      : listenFd_(listenFd),
        label_(std::move(label)),
        delegate_(std::move(delegate)),
        delegateQueue_(makeSerialQueue(label_, &globalQueue(QoS::Default))) {}

  ~IpcEventLoop() override {
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (listenFd_ >= 0) ::close(listenFd_);
  }

  void start() {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) throw posixError(errno, "epoll_create1");
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) throw posixError(errno, "eventfd");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) < 0)
      throw posixError(errno, "epoll_ctl");
    ev.data.u64 = kListenId;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev) < 0) {
      throw posixError(errno, "epoll_ctl");
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
      int timeout = -1;
      if (acceptPaused_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        acceptResumeAt_ - std::chrono::steady_clock::now())
                        .count();
        timeout = left > 0 ? int(left) : 0;
      }
      int n = ::epoll_wait(epollFd_, events, 64, timeout);
      if (n < 0) {
        if (errno == EINTR) continue;
        systemLog(std::string("IPC: epoll_wait failed: ") + std::strerror(errno));
        return;
      }
      if (acceptPaused_ && std::chrono::steady_clock::now() >= acceptResumeAt_) resumeAccepting();
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
          readFrom(conn);
        }
      }
    }
  }

  void acceptAll() {
    for (;;) {
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
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) cred = ucred{};
      uint64_t id = nextId_++;
      auto queue =
          makeSerialQueue(label_ + ".connection." + std::to_string(id), &globalQueue(QoS::Default));
      std::shared_ptr<IpcConnection> conn(new IpcConnection(id, fd, cred.pid, cred.uid, cred.gid,
                                                            weak_from_this(), std::move(queue)));
      connections_.emplace(id, conn);
      count_.fetch_add(1);
      delegateQueue_->async([weakLoop = weak_from_this(), conn] {
        auto loop = weakLoop.lock();
        if (!loop) return;
        bool accepted = false;
        try {
          accepted = loop->delegate_ && loop->delegate_(conn);
        } catch (const std::exception& e) {
          systemLog(std::string("IPC: listener delegate failed: ") + e.what());
        }
        conn->delegateReturned(accepted);
      });
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
      ssize_t n = ::read(conn->fd_, readBuffer_.data(), readBuffer_.size());
      if (n > 0) {
        bool ok = conn->assembler_.feed(readBuffer_.data(), size_t(n),
                                        [&](std::vector<uint8_t>&& body) { enqueue(conn, body); });
        if (!ok) {
          close(conn->id_, /*stopDelivery=*/true);
          return;
        }
        if (conn->backlogHigh()) {
          pause(conn);
          return;
        }
        if (size_t(n) < readBuffer_.size()) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      // End of stream or a reset: what the peer sent before still counts.
      close(conn->id_, /*stopDelivery=*/false);
      return;
    }
  }

  void enqueue(const std::shared_ptr<IpcConnection>& conn, std::vector<uint8_t>& body) {
    const size_t size = body.size();
    if (size > kParseOnLoopBytes) {
      // Decoding a big request would hold up every other connection; its
      // own queue does it.
      conn->admitted(size);
      conn->queue_->async(
          [conn, body = std::move(body)]() mutable { conn->deliver(std::move(body)); });
      return;
    }
    IpcConnection::Request request = conn->parse(std::move(body));
    if (request.method && request.method->immediate && conn->roomToReply()) {
      // Answered here when nothing else of this connection is pending or
      // running: same order, one hand-off fewer.
      Work now = [&conn, &request] { conn->dispatch(std::move(request)); };
      if (runIfIdle(*conn->queue_, now)) return;
    }
    conn->admitted(size);
    conn->queue_->async([conn, request = std::move(request), size]() mutable {
      conn->deliverParsed(std::move(request), size);
    });
  }

  void pause(const std::shared_ptr<IpcConnection>& conn) {
    unwatch(*conn);
    conn->paused_.store(true);
    // The queue may have drained between the check and the flag; whoever
    // clears the flag first re-arms the connection.
    if (conn->backlogLow() && conn->paused_.exchange(false)) watch(conn->id_);
  }

  void watch(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    IpcConnection& conn = *it->second;
    if (conn.watched_ || !conn.isValid()) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, conn.fd_, &ev) < 0) {
      close(id, /*stopDelivery=*/true);
      return;
    }
    conn.watched_ = true;
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
    unwatch(*conn);
    conn->closeFromLoop(stopDelivery);
  }

  const int listenFd_;
  const std::string label_;
  const IpcListener::Delegate delegate_;
  const std::shared_ptr<Queue> delegateQueue_;
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

void IpcListener::resume() {
  if (loop_) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) {
    throw posixError(ENAMETOOLONG, "bind " + socketPath_);
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

  auto slash = socketPath_.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string dir = socketPath_.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) < 0 && ::mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) {
      throw posixError(errno, "mkdir " + dir);
    }
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) throw posixError(errno, "socket");
  if (::unlink(socketPath_.c_str()) < 0 && errno != ENOENT) {
    throw posixError(errno, "unlink " + socketPath_);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    throw posixError(errno, "bind " + socketPath_);
  }
  // Any local process may connect, whatever the daemon's umask.
  if (::chmod(socketPath_.c_str(), 0666) < 0) throw posixError(errno, "chmod " + socketPath_);
  if (::listen(fd.get(), SOMAXCONN) < 0) throw posixError(errno, "listen " + socketPath_);

  auto loop = std::make_shared<IpcEventLoop>(fd.release(), label_, delegate_);
  loop->start();
  loop_ = std::move(loop);
}

void IpcListener::invalidate() {
  if (!loop_) return;
  loop_->stop();
  loop_.reset();
  ::unlink(socketPath_.c_str());
}

size_t IpcListener::connectionCount() const {
  return loop_ ? loop_->connectionCount() : 0;
}

}  // namespace zelvo::platform
