#include "platform/ipc_connection.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "platform/log.h"

namespace zelvo::platform {

namespace {
// A peer that does not read its replies gets this long to make room for one
// frame before the connection is dropped.
constexpr int kWriteStallMillis = 10'000;

constexpr int kHighFrames = 64;
constexpr int kLowFrames = 16;
constexpr size_t kHighBytes = 64u << 20;
constexpr size_t kLowBytes = 16u << 20;
// A restricted peer's frames are small; a few of them are all it may queue.
constexpr size_t kRestrictedHighBytes = 256u << 10;
constexpr size_t kRestrictedLowBytes = 128u << 10;

// 0 when it cannot be read, which sends every reply the queued way.
int sendBufferOf(int fd) {
  int bytes = 0;
  socklen_t len = sizeof bytes;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, &len) < 0) return 0;
  return bytes;
}
}  // namespace

namespace detail {

void ByteBudget::remove(size_t bytes) {
  if (bytes == 0) return;
  used_.fetch_sub(bytes);
  if (!low()) return;
  std::vector<std::weak_ptr<IpcConnection>> waiting;
  {
    std::lock_guard lock(waitingLock_);
    waiting.swap(waiting_);
  }
  for (auto& weak : waiting) {
    if (auto conn = weak.lock()) conn->resumeIfRoom();
  }
}

void ByteBudget::waitFor(const std::shared_ptr<IpcConnection>& connection) {
  std::lock_guard lock(waitingLock_);
  waiting_.push_back(connection);
}

}  // namespace detail

struct IpcReply::State {
  std::weak_ptr<IpcConnection> connection;
  std::shared_ptr<const IpcInterface> interface;  // keeps `method` alive
  const IpcMethod* method = nullptr;
  IpcValue seq;
  std::atomic<bool> sent{false};
  // The request's bytes, counted until the reply is sent or can no longer be.
  size_t bytes = 0;
  std::shared_ptr<detail::ByteBudgets> budgets;  // keeps the budget alive
  detail::ByteBudget* budget = nullptr;
  std::atomic<bool> released{false};

  void release() {
    if (!budget || bytes == 0 || released.exchange(true)) return;
    if (auto conn = connection.lock()) {
      conn->released(bytes);
    } else {
      budget->remove(bytes);
    }
  }
  ~State() { release(); }
};

void IpcReply::operator()(IpcValue replyArgs) const {
  if (!st_ || st_->sent.exchange(true)) return;
  auto conn = st_->connection.lock();
  if (!conn) return;
  if (auto why = IpcInterface::check(st_->method->reply, replyArgs)) {
    helperLog("IPC: reply to " + st_->method->selector + " does not match " +
              st_->interface->protocolName() + ": " + *why);
    conn->invalidate();
    st_->release();
    return;
  }
  IpcValue message = IpcValue::object();
  message["seq"] = st_->seq;
  message["reply"] = std::move(replyArgs);
  conn->sendMessage(message, st_);
}

bool IpcReply::wasSent() const {
  return st_ && st_->sent.load();
}

IpcConnection::IpcConnection(uint64_t id, int fd, pid_t pid, uid_t uid, gid_t gid,
                             std::weak_ptr<detail::IpcLoop> loop, std::shared_ptr<Queue> queue,
                             std::shared_ptr<detail::ByteBudgets> budgets)
    : id_(id),
      pid_(pid),
      uid_(uid),
      gid_(gid),
      loop_(std::move(loop)),
      queue_(std::move(queue)),
      budgets_(std::move(budgets)),
      fd_(fd),
      sendBufferBytes_(sendBufferOf(fd)) {}

IpcConnection::~IpcConnection() {
  // Normally the I/O thread closed it already; a connection that never got
  // that far (the listener went away) closes here.
  if (fd_ >= 0) ::close(fd_);
}

void IpcConnection::setExportedInterface(std::shared_ptr<const IpcInterface> interface) {
  std::lock_guard lock(handlersLock_);
  interface_ = std::move(interface);
}

void IpcConnection::setExportedObject(IpcDispatcher dispatcher) {
  std::lock_guard lock(handlersLock_);
  dispatcher_ = std::move(dispatcher);
}

void IpcConnection::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard lock(handlersLock_);
  invalidationHandler_ = std::move(handler);
}

void IpcConnection::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(handlersLock_);
  interruptionHandler_ = std::move(handler);
}

void IpcConnection::restrict(uint32_t maxFrameBody) {
  restricted_ = true;
  assembler_.setMaxBody(maxFrameBody);
}

void IpcConnection::resume() {
  if (resumed_.exchange(true)) return;
  // Whichever of this and delegateReturned() sees the other's flag starts
  // reading; both may, and watching twice is harmless.
  if (inDelegate_.load()) return;
  if (auto loop = loop_.lock()) loop->requestWatch(id_);
}

void IpcConnection::delegateReturned(bool accepted) {
  inDelegate_.store(false);
  if (!accepted) {
    invalidate();
    return;
  }
  if (resumed_.load()) {
    if (auto loop = loop_.lock()) loop->requestWatch(id_);
  }
}

std::shared_ptr<const ProcessHandle> IpcConnection::peerProcess() {
  std::lock_guard lock(fdLock_);
  return fd_ >= 0 ? ProcessHandle::ofPeer(fd_, pid_) : ProcessHandle::ofPid(pid_);
}

void IpcConnection::shutdownSocket() {
  std::lock_guard lock(fdLock_);
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void IpcConnection::invalidate() {
  if (invalidated_.exchange(true)) return;
  // Shutting down first wakes a writer stalled in poll and tells the peer at
  // once; the I/O thread then closes the descriptor.
  shutdownSocket();
  if (auto loop = loop_.lock()) loop->requestClose(id_);
}

void IpcConnection::closeFromLoop(bool stopDelivery) {
  if (stopDelivery) invalidated_.store(true);
  closed_.store(true);
  shutdownSocket();
  {
    std::scoped_lock lock(writeLock_, fdLock_);
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (invalidationFired_.exchange(true)) return;
  // The handler runs after the requests already queued, and the dispatcher is
  // dropped so that nothing it captured outlives the connection's use.
  queue_->async([self = shared_from_this()] {
    std::function<void()> handler;
    {
      std::lock_guard lock(self->handlersLock_);
      handler = std::move(self->invalidationHandler_);
      self->invalidationHandler_ = nullptr;
      self->interruptionHandler_ = nullptr;
      self->dispatcher_ = nullptr;
    }
    const RestrictedPeerLines lines(self->restricted_);
    if (handler) handler();
  });
}

detail::ByteBudget& IpcConnection::budget() const {
  return restricted_ ? budgets_->restricted : budgets_->full;
}

bool IpcConnection::backlogHigh() const {
  const size_t high = restricted_ ? kRestrictedHighBytes : kHighBytes;
  return queuedFrames_.load() >= kHighFrames || queuedBytes_.load() >= high;
}

bool IpcConnection::backlogLow() const {
  const size_t low = restricted_ ? kRestrictedLowBytes : kLowBytes;
  return queuedFrames_.load() < kLowFrames && queuedBytes_.load() < low;
}

void IpcConnection::deliver(std::vector<uint8_t>&& body) {
  size_t size = body.size();
  deliverParsed(parse(std::move(body)), size);
}

void IpcConnection::deliverParsed(Request&& request, size_t bodySize) {
  dispatch(std::move(request), bodySize);
  dispatched();
}

void IpcConnection::admitted(size_t bodySize) {
  queuedFrames_.fetch_add(1);
  queuedBytes_.fetch_add(bodySize);
  budget().add(bodySize);
}

void IpcConnection::dispatched() {
  queuedFrames_.fetch_sub(1);
  resumeIfRoom();
}

void IpcConnection::released(size_t bodySize) {
  const bool last = queuedBytes_.fetch_sub(bodySize) == bodySize;
  budget().remove(bodySize);
  if (last && hungUp_.load()) {
    if (auto loop = loop_.lock()) loop->requestClose(id_);
  }
  resumeIfRoom();
}

void IpcConnection::resumeIfRoom() {
  if (!paused_.load() || !backlogLow()) return;
  if (waitsForBudget_.load() && !budget().low()) {
    // Back in line: the budget's wake-up may have passed us over while our
    // own backlog was still high.
    budget().waitFor(shared_from_this());
    if (!budget().low()) return;
  }
  if (paused_.exchange(false)) {
    if (auto loop = loop_.lock()) loop->requestWatch(id_);
  }
}

namespace {
// What a frame of `bytes` may take of the send buffer at most: the socket
// counts the memory of its buffers, header and rounding included, not the
// bytes; a small frame takes about 1 KiB of it.
uint64_t bufferCost(size_t bytes) {
  return 2 * uint64_t(bytes) + 4096;
}
}  // namespace

bool IpcConnection::roomToReply() {
  // A Unix stream socket's send blocks once the memory it holds reaches the
  // send buffer's size; a reply to an immediate method is far below the
  // margin kept here. What was charged since the last look bounds what the
  // queue can have gained, so the queue is looked at again only when that
  // bound comes near the limit.
  constexpr uint64_t kMargin = 64 * 1024;
  const uint64_t charged = chargedBytes_.load(std::memory_order_acquire);
  if (queuedAtLook_ + (charged - chargedAtLook_) + kMargin <= uint64_t(sendBufferBytes_)) {
    return true;
  }
  int queued = 0;
  if (::ioctl(fd_, SIOCOUTQ, &queued) < 0) return false;
  queuedAtLook_ = uint64_t(std::max(queued, 0));
  chargedAtLook_ = charged;
  return queuedAtLook_ + kMargin <= uint64_t(sendBufferBytes_);
}

IpcConnection::Request IpcConnection::parse(std::vector<uint8_t>&& body) const {
  Request request;
  {
    std::lock_guard lock(handlersLock_);
    request.interface = interface_;
  }
  if (!request.interface) return request;
  IpcValue message;
  try {
    // Consumed: the frame is gone (or has become the message's one large
    // byte buffer) by the time the request is dispatched.
    message = decodeBody(std::move(body));
  } catch (const std::exception&) {
    return request;
  }

  auto seq = message.find("seq");
  auto sel = message.find("sel");
  auto args = message.find("args");
  bool seqOk = seq != message.end() && ((seq->is_number_unsigned() && seq->get<uint64_t>() >= 1) ||
                                        (seq->is_number_integer() && seq->get<int64_t>() >= 1));
  bool wellFormed = seqOk && sel != message.end() && sel->is_string() && args != message.end() &&
                    args->is_array();
  if (!wellFormed) return request;
  const IpcMethod* method = request.interface->method(sel->get_ref<const std::string&>());
  if (!method || IpcInterface::check(method->args, *args)) return request;
  request.method = method;
  request.args = std::move(*args);
  request.seq = std::move(*seq);
  return request;
}

void IpcConnection::dispatch(Request&& request, size_t bodySize) {
  auto st = std::make_shared<IpcReply::State>();
  st->connection = weak_from_this();
  // From here the request's bytes are released with `st`, whatever happens.
  st->bytes = bodySize;
  st->budgets = budgets_;
  st->budget = &budget();
  if (invalidated_.load()) return;
  IpcDispatcher dispatcher;
  {
    std::lock_guard lock(handlersLock_);
    dispatcher = dispatcher_;
  }
  if (!request.method || !dispatcher) {
    invalidate();
    return;
  }
  st->interface = request.interface;
  st->method = request.method;
  st->seq = std::move(request.seq);
  // Everything a handler logs on this thread is on this peer's behalf.
  const RestrictedPeerLines lines(restricted_);
  // Restricted peers share their threads: none of them may hold one.
  const RepliesNeverWait shared(restricted_);
  try {
    dispatcher(*request.method, std::move(request.args), IpcReply(std::move(st)));
  } catch (const std::exception& e) {
    // Handlers are not meant to throw; if one does, only this peer pays.
    helperLog("IPC: handler of " + request.method->selector + " failed: " + e.what());
    invalidate();
  }
}

namespace {
thread_local bool tlsRepliesNeverWait = false;
}  // namespace

RepliesNeverWait::RepliesNeverWait(bool applies)
    : outer_(std::exchange(tlsRepliesNeverWait, tlsRepliesNeverWait || applies)) {}
RepliesNeverWait::~RepliesNeverWait() {
  tlsRepliesNeverWait = outer_;
}

void IpcConnection::sendMessage(const IpcValue& message, std::shared_ptr<IpcReply::State> request) {
  flushLogBatch();  // a reply never arrives before the lines of its request
  std::vector<uint8_t> frame;
  try {
    frame = encodeFrame(message);
  } catch (const std::exception& e) {
    helperLog(std::string("IPC: cannot encode a reply: ") + e.what());
    invalidate();
    request->release();
    return;
  }
  if (sendFrame(frame, !tlsRepliesNeverWait)) {
    request->release();
    return;
  }
  sendLater(std::move(frame), std::move(request));
}

void IpcConnection::sendLater(std::vector<uint8_t> frame,
                              std::shared_ptr<IpcReply::State> request) {
  std::shared_ptr<Queue> late;
  {
    std::lock_guard lock(lateLock_);
    if (!lateReplies_) {
      // A restricted peer that stops reading may hold a worker for the whole
      // write stall; a few such peers must not take the threads that
      // everyone else's work (the kernel's replies among it) runs on.
      static Queue& restrictedPool = makeWorkerPool("ipc.restricted-late-replies", 4);
      lateReplies_ = makeSerialQueue("ipc.late-replies",
                                     restricted_ ? &restrictedPool : &globalQueue(QoS::Utility));
    }
    late = lateReplies_;
  }
  // In turn: a client that stops reading holds one worker, not one per reply.
  // Each request stays counted against its client until its reply is
  // written, so such a client soon stops being read as well.
  late->async([self = shared_from_this(), frame = std::move(frame), request = std::move(request)] {
    self->sendFrame(frame, true);
    request->release();
  });
}

bool IpcConnection::sendFrame(const std::vector<uint8_t>& frame, bool mayWait) {
  bool failed = false;
  {
    // Held across the whole frame, including a bounded wait for room, so that
    // concurrent replies never interleave their bytes.
    std::unique_lock lock(writeLock_, std::defer_lock);
    if (mayWait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return false;
    }
    if (fd_ < 0) return true;
    chargedBytes_.fetch_add(bufferCost(frame.size()), std::memory_order_acq_rel);
    const uint8_t* p = frame.data();
    size_t left = frame.size();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteStallMillis);
    while (left > 0) {
      ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        p += n;
        left -= size_t(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Nothing written yet: it can still go elsewhere, whole. (A Unix
        // stream socket takes a small frame whole or not at all.)
        if (!mayWait && left == frame.size()) return false;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
        pollfd pfd{fd_, POLLOUT, 0};
        if (ms > 0 && ::poll(&pfd, 1, int(ms)) >= 0 && !(pfd.revents & (POLLERR | POLLHUP))) {
          continue;
        }
      }
      failed = true;
      break;
    }
  }
  if (failed) invalidate();
  return true;
}

}  // namespace zelvo::platform
