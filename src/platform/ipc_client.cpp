#include "platform/ipc_client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace zelvo::platform {

struct IpcClientConnection::State {
  std::string socketPath;
  std::shared_ptr<const IpcInterface> interface;
  int fd = -1;  // closed when the last owner (public object or reader thread) lets go
  // Tells the reader thread to watch for replies again (see watchedSeq).
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

  ~State() {
    if (fd >= 0) ::close(fd);
    if (wakeFd >= 0) ::close(wakeFd);
  }
  std::thread reader;
  std::atomic<std::thread::id> readerId;

  // One reader of the socket at a time: the reader thread, or a caller that
  // waits for its reply and reads it itself (see pollReplies()).
  std::mutex readLock;
  FrameAssembler assembler;      // readLock
  std::optional<Error> failure;  // readLock: a reply that broke the connection
  std::vector<uint8_t> buf = std::vector<uint8_t>(64 * 1024);  // readLock
  // Replies a caller read while watching for its own, left to the reader
  // thread (readLock).
  std::vector<IpcValue> deferred;

  // One whole outgoing frame at a time: whoever set `writing` writes. Not a
  // timed mutex: waiting for the turn is bounded by a condition variable.
  std::mutex writeLock;  // writing
  std::condition_variable writeTurn;
  bool writing = false;
  // Bounds waiting for writeLock and writing one frame (zero: no bound).
  std::chrono::steady_clock::duration sendLimit{};

  std::mutex pendingLock;  // everything below
  uint64_t nextSeq = 1;
  struct Call {
    const IpcMethod* method;
    Completion completion;
  };
  std::map<uint64_t, Call> pending;
  // A call whose caller watches for the reply itself (pollReplies()). While
  // it is the only one pending, the reader thread waits for a hang-up alone:
  // a reply would wake it for nothing, and on a busy machine that wake-up
  // competes with the threads producing the reply.
  uint64_t watchedSeq = 0;
  bool readerWatching = true;  // whether the reader thread waits for replies
  bool broken = false;         // no further sends; set once
  std::optional<Error> brokenError;
  std::function<void()> interruptionHandler;
  bool invalidatedByUs = false;
  std::optional<Error> sendFailure;  // a request the helper did not take in time

  // Takes call `seq` out of the pending ones, if it still is one.
  std::optional<Call> takeCall(uint64_t seq) {
    std::lock_guard lock(pendingLock);
    auto it = pending.find(seq);
    if (it == pending.end()) return std::nullopt;
    Call call = std::move(it->second);
    pending.erase(it);
    return call;
  }

  // Marks the connection broken and fails every pending call with `err`.
  // Returns true for the call that broke it.
  bool breakWith(const Error& err) {
    std::map<uint64_t, Call> failed;
    {
      std::lock_guard lock(pendingLock);
      if (broken) return false;
      broken = true;
      brokenError = err;
      failed.swap(pending);
    }
    ::shutdown(fd, SHUT_RDWR);
    for (auto& [seq, call] : failed) call.completion(IpcResult{std::nullopt, err});
    return true;
  }

  // Whether some pending reply is for the reader thread to read.
  bool readerNeeded() const {
    return !pending.empty() && (pending.size() > 1 || pending.begin()->first != watchedSeq);
  }
  // Requires pendingLock; true when the caller must wake the reader thread
  // (wakeReader(), after releasing the lock).
  bool readerMustWake() {
    if (readerWatching || !readerNeeded()) return false;
    readerWatching = true;
    return true;
  }
  void wakeReader() const {
    const uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
  }

  void readLoop();
  enum class Drained { Data, Nothing, Closed };
  // Reads what has arrived, without waiting, and dispatches the replies in
  // it; for a caller watching for the reply to `watched`, only that one,
  // deferring any other and all after it. Requires readLock.
  Drained drainOnce(uint64_t watched = 0);
  std::optional<Error> dispatchReply(IpcValue&& message);
};

namespace {
thread_local bool tlsReaderThread = false;
// The connection whose replies this thread is dispatching, if any.
thread_local const IpcClientConnection::State* tlsDispatching = nullptr;

struct Dispatching {
  explicit Dispatching(const IpcClientConnection::State* st)
      : savedReader(tlsReaderThread), saved(tlsDispatching) {
    tlsReaderThread = true;
    tlsDispatching = st;
  }
  ~Dispatching() {
    tlsReaderThread = savedReader;
    tlsDispatching = saved;
  }
  bool savedReader;
  const IpcClientConnection::State* saved;
};

Error ipcError(long code, const std::string& text) {
  return Error(kIpcErrorDomain, code, text);
}
Error notTakenInTime() {
  return ipcError(kIpcTimedOut, "the helper did not take the request in time");
}
}  // namespace

std::optional<Error> IpcClientConnection::State::dispatchReply(IpcValue&& message) {
  auto seq = message.find("seq");
  auto reply = message.find("reply");
  if (seq == message.end() || !seq->is_number_unsigned() || reply == message.end()) {
    return ipcError(kIpcReplyInvalid, "reply without seq or reply");
  }
  std::optional<Call> call = takeCall(seq->get<uint64_t>());
  if (!call) {
    // A call given up on (see abandon()) may still be answered; only a
    // reply to a request never sent breaks the connection.
    std::lock_guard lock(pendingLock);
    if (seq->get<uint64_t>() < nextSeq) return std::nullopt;
    return ipcError(kIpcReplyInvalid, "reply to no pending request");
  }
  if (auto why = IpcInterface::check(call->method->reply, *reply)) {
    Error err = ipcError(kIpcReplyInvalid, "reply to " + call->method->selector + ": " + *why);
    call->completion(IpcResult{std::nullopt, err});
    return err;
  }
  call->completion(IpcResult{std::move(*reply), std::nullopt});
  return std::nullopt;
}

IpcClientConnection::State::Drained IpcClientConnection::State::drainOnce(uint64_t watched) {
  const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return Drained::Nothing;
  }
  if (n <= 0) return Drained::Closed;
  Dispatching dispatching(this);
  const bool ok = assembler.feed(buf.data(), size_t(n), [&](std::vector<uint8_t>&& body) {
    if (failure) return;
    IpcValue message;
    try {
      message = decodeBody(std::move(body));
    } catch (const std::exception& e) {
      failure = ipcError(kIpcReplyInvalid, std::string("malformed reply: ") + e.what());
      return;
    }
    const auto seq = message.find("seq");
    const bool own = seq != message.end() && *seq == watched;
    if (watched != 0 && (!deferred.empty() || !own)) {
      deferred.push_back(std::move(message));
    } else {
      failure = dispatchReply(std::move(message));
    }
  });
  if (!deferred.empty() && watched != 0) wakeReader();
  if (!ok && !failure) failure = ipcError(kIpcReplyInvalid, "malformed frame from the helper");
  // The reader thread ends the connection; wake it if it waits in poll().
  if (failure) ::shutdown(fd, SHUT_RDWR);
  return Drained::Data;
}

void IpcClientConnection::State::readLoop() {
  readerId.store(std::this_thread::get_id());
  tlsReaderThread = true;
  // Waits in poll() rather than read(), so that a caller waiting for its
  // reply may read it meanwhile; whoever takes readLock first reads. Waits
  // for data only while some reply is its to read (see watchedSeq).
  for (;;) {
    short events = POLLRDHUP;
    {
      std::lock_guard lock(pendingLock);
      readerWatching = readerNeeded();
      if (readerWatching) events |= POLLIN;
    }
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) {
      uint64_t count;
      (void)!::read(wakeFd, &count, sizeof count);
    }
    std::lock_guard lock(readLock);
    if (!deferred.empty()) {
      Dispatching dispatching(this);
      for (IpcValue& message : std::exchange(deferred, {})) {
        if (!failure) failure = dispatchReply(std::move(message));
      }
    }
    if (!failure && fds[0].revents && drainOnce() == Drained::Closed) break;
    if (failure) break;
  }
  std::optional<Error> broke;
  {
    std::lock_guard lock(readLock);
    broke = failure;
  }
  bool ours;
  {
    std::lock_guard lock(pendingLock);
    ours = invalidatedByUs;
    if (!broke) broke = sendFailure;
    // A helper too slow to take a request has not gone away.
    ours = ours || sendFailure;
  }
  Error err = broke  ? *broke
              : ours ? ipcError(kIpcConnectionInvalid, "connection invalidated")
                     : ipcError(kIpcConnectionInterrupted,
                                "connection to the helper at " + socketPath + " was interrupted");
  if (breakWith(err) && !ours) {
    std::function<void()> handler;
    {
      std::lock_guard lock(pendingLock);
      handler = std::move(interruptionHandler);
    }
    if (handler) handler();
  }
}

namespace {
Error notServedBy(const std::string& socketPath, uid_t owner) {
  return Error(kPosixErrorDomain, EPERM,
               socketPath + " is not served by uid " + std::to_string(owner));
}
}  // namespace

std::shared_ptr<IpcClientConnection> IpcClientConnection::connect(
    const std::string& socketPath, std::shared_ptr<const IpcInterface> remoteInterface,
    std::optional<uid_t> requiredOwner, std::chrono::duration<double> sendLimit) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) {
    throw Error::fromErrno(ENAMETOOLONG);
  }
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  // The file first: a socket someone else owns is not even connected to.
  struct stat file {};
  if (requiredOwner && ::lstat(socketPath.c_str(), &file) == 0 && file.st_uid != *requiredOwner) {
    throw notServedBy(socketPath, *requiredOwner);
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Error::fromErrno(errno);
  if (sendLimit.count() > 0) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(sendLimit).count();
    const timeval limit{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int err = errno;
    ::close(fd);
    throw Error::fromErrno(err);
  }
  if (requiredOwner) {
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != *requiredOwner) {
      ::close(fd);
      throw notServedBy(socketPath, *requiredOwner);
    }
  }
  auto st = std::make_shared<State>();
  if (st->wakeFd < 0) {
    const int err = errno;
    ::close(fd);
    throw Error::fromErrno(err);
  }
  st->socketPath = socketPath;
  st->interface = std::move(remoteInterface);
  st->fd = fd;
  st->sendLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(sendLimit);
  st->reader = std::thread([st] { st->readLoop(); });
  return std::shared_ptr<IpcClientConnection>(new IpcClientConnection(st));
}

IpcClientConnection::IpcClientConnection(std::shared_ptr<State> st) : st_(std::move(st)) {}

IpcClientConnection::~IpcClientConnection() {
  invalidate();
  if (onReaderThread()) {
    // Dropped from inside a completion: the reader ends on its own once the
    // completion returns and releases the state (and the descriptor) last.
    st_->reader.detach();
  } else if (st_->reader.joinable()) {
    st_->reader.join();
  }
}

uint64_t IpcClientConnection::send(std::string_view selector, IpcValue args, Completion completion,
                                   bool watched) {
  const IpcMethod* method = st_->interface->method(selector);
  if (!method) {
    completion(
        {std::nullopt, ipcError(kIpcBadRequest, "unknown selector " + std::string(selector))});
    return 0;
  }
  if (auto why = IpcInterface::check(method->args, args)) {
    completion({std::nullopt, ipcError(kIpcBadRequest, method->selector + ": " + *why)});
    return 0;
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (st_->sendLimit.count() > 0) deadline = std::chrono::steady_clock::now() + st_->sendLimit;
  uint64_t seq = 0;
  std::optional<Error> broken;
  bool wake = false;
  {
    std::lock_guard lock(st_->pendingLock);
    if (st_->broken) {
      broken = st_->brokenError;
    } else {
      seq = st_->nextSeq++;
      st_->pending.emplace(seq, State::Call{method, std::move(completion)});
      if (watched) st_->watchedSeq = seq;
      wake = st_->readerMustWake();
    }
  }
  if (broken) {
    // Moved from above only when not broken.
    completion({std::nullopt, *broken});  // NOLINT(bugprone-use-after-move)
    return 0;
  }
  if (wake) st_->wakeReader();
  IpcValue message = IpcValue::object();
  message["seq"] = seq;
  message["sel"] = method->selector;
  message["args"] = std::move(args);
  std::vector<uint8_t> frame;
  try {
    frame = encodeFrame(message);
  } catch (const std::exception& e) {
    if (auto call = st_->takeCall(seq)) {
      call->completion({std::nullopt, ipcError(kIpcBadRequest, e.what())});
    }
    return 0;
  }
  {
    std::unique_lock lock(st_->writeLock);
    const auto turn = [&] { return !st_->writing; };
    if (!deadline) {
      st_->writeTurn.wait(lock, turn);
    } else if (!st_->writeTurn.wait_until(lock, *deadline, turn)) {
      lock.unlock();
      // Behind other requests: none of this one went, so only it fails.
      if (auto call = st_->takeCall(seq)) call->completion({std::nullopt, notTakenInTime()});
      return 0;
    }
    st_->writing = true;
  }
  const int err = writeAll(st_->fd, frame.data(), frame.size(), deadline);
  {
    std::lock_guard lock(st_->writeLock);
    st_->writing = false;
  }
  st_->writeTurn.notify_one();
  if (err != 0) {
    if (err == ETIMEDOUT) {
      std::lock_guard lock(st_->pendingLock);
      if (!st_->sendFailure) st_->sendFailure = notTakenInTime();
    }
    // The reader sees the same breakage and fails this call with the rest.
    ::shutdown(st_->fd, SHUT_RDWR);
  }
  return seq;
}

void IpcClientConnection::stopWatching(uint64_t seq) {
  bool wake = false;
  {
    std::lock_guard lock(st_->pendingLock);
    if (seq == 0 || st_->watchedSeq != seq) return;
    st_->watchedSeq = 0;
    wake = st_->readerMustWake();
  }
  if (wake) st_->wakeReader();
}

void IpcClientConnection::abandon(uint64_t seq) {
  (void)st_->takeCall(seq);
  stopWatching(seq);
}

void IpcClientConnection::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(st_->pendingLock);
  st_->interruptionHandler = std::move(handler);
}

void IpcClientConnection::invalidate() {
  {
    std::lock_guard lock(st_->pendingLock);
    if (st_->broken) return;
    st_->invalidatedByUs = true;
  }
  ::shutdown(st_->fd, SHUT_RDWR);
  // From inside a completion, the calls still pending fail now, while
  // whoever closed the connection (a client being destroyed) is still there.
  if (onReaderThread()) st_->breakWith(ipcError(kIpcConnectionInvalid, "connection invalidated"));
}

bool IpcClientConnection::isValid() const {
  std::lock_guard lock(st_->pendingLock);
  return !st_->broken && !st_->invalidatedByUs;
}

bool IpcClientConnection::onReaderThread() const {
  return st_->readerId.load() == std::this_thread::get_id() || tlsDispatching == st_.get();
}

bool IpcClientConnection::pollReplies() {
  uint64_t watched = 0;
  {
    // Only a lone watched call's own reply is dispatched here: completions of
    // other calls stay on the reader thread, where their authors expect them.
    std::lock_guard pending(st_->pendingLock);
    if (st_->pending.size() > 1 || st_->watchedSeq == 0) return false;
    watched = st_->watchedSeq;
  }
  std::unique_lock lock(st_->readLock, std::try_to_lock);
  return lock.owns_lock() && !st_->failure && st_->drainOnce(watched) == State::Drained::Data;
}

bool IpcClientConnection::onAnyReaderThread() {
  return tlsReaderThread;
}

const std::string& IpcClientConnection::socketPath() const {
  return st_->socketPath;
}

}  // namespace zelvo::platform
