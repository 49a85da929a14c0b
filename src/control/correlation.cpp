// Request/reply correlation on the control connection, the reader loop that
// delivers replies, and the delay results the kernel pushes on its own.
//
// A caller registers a Pending under a fresh id, writes its frame and waits on
// the Pending's semaphore; whoever reads the connection takes the Pending out
// of the map when the reply with that id arrives and signals it. One thread
// reads at a time: the reader loop, or a caller that took the reading over to
// wait for its own reply. Whoever takes a Pending out of the map (a reader on
// reply, the reader loop at its end, the caller on write failure or time-out,
// the writer a frame was handed to when it could not send it) is the only one
// to finish it, so no request is answered twice and a late reply finds
// nothing and is dropped.
//
// A request sent with sendActionThen has no caller waiting: whoever finishes
// it runs its continuation, which spares the waiting thread's wake-up, and one
// sweep scheduled at the earliest deadline times such requests out.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "control/frame.h"
#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"
#include "platform/ipc_connection.h"
#include "platform/log.h"

namespace zelvo {

namespace {

// "code" that is an integer other than 0.
bool isFailureCode(const Json& code) {
  if (code.is_number_unsigned()) return code.get<uint64_t>() != 0;
  if (code.is_number_integer()) return code.get<int64_t>() != 0;
  return false;
}

}  // namespace

std::optional<Json> KernelProcessManager::sendActionAwait(const std::string& method,
                                                          const Json& data, double timeoutSeconds) {
  if (controlFd_.load() < 0) return std::nullopt;

  auto pending = std::make_shared<Pending>();
  std::string id;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    id = std::to_string(++msgId_);
    pending_.emplace(id, pending);
  }

  // Registered before writing: the reply may arrive before writeFrame returns.
  // The reading is taken first too, or a quick reply would wake the reader
  // anyway; but only for a frame that goes at once: while a frame waits to be
  // written nobody may hold it (the kernel may be waiting for its own replies
  // to be read), and one handed to another writer may be ended by that
  // writer while this caller sleeps on the connection.
  const std::optional<std::string> frame = encodeFrame(id, method, data);
  bool reads = false;
  bool written = false;
  if (frame && takeReading()) {
    reads = true;
    written = writeEncoded(id, *frame, 0, /*mayHand=*/false);
    if (!written) {
      giveReadingBack();
      reads = false;
    }
  }
  if (frame && !written) written = writeEncoded(id, *frame, timeoutSeconds);
  if (!written) {
    std::lock_guard<std::mutex> g(pendingLock);
    pending_.erase(id);
    return std::nullopt;
  }
  log("→ " + method);

  const auto deadline = control::deadlineAfter(timeoutSeconds);
  auto answered = [&] { return pending->answered.load(std::memory_order_acquire); };
  if (reads) {
    readForReply(*pending, deadline);
    giveReadingBack();
  }
  if (!answered() && !pending->sem.waitUntil(deadline)) {
    size_t mine = 0;
    {
      std::lock_guard<std::mutex> g(pendingLock);
      mine = pending_.erase(id);
    }
    if (mine > 0) {
      log("← " + method + " 超时");
      return std::nullopt;
    }
    // A reader took it out just now and is about to deliver: the reply came.
    pending->sem.wait();
  }

  // Whoever delivered stored obj before it set answered or signalled.
  std::optional<Json> reply = std::move(pending->obj);
  if (reply) logFailure(method, *reply);
  return reply;
}

void KernelProcessManager::logFailure(const std::string& method, const Json& reply) {
  const auto code = reply.find("code");
  if (code == reply.end() || !isFailureCode(*code)) return;
  std::string text;
  const auto d = reply.find("data");
  if (d != reply.end()) text = d->is_string() ? d->get<std::string>() : control::compactJson(*d);
  log("← " + method + " 失败 code=" + code->dump() + " " + platform::forLog(text));
}

void KernelProcessManager::sendActionThen(const std::string& method, const Json& data,
                                          double timeoutSeconds, Continuation then) {
  if (controlFd_.load() < 0) {
    then(std::nullopt);
    return;
  }
  auto pending = std::make_shared<Pending>();
  pending->then = std::move(then);
  pending->method = method;
  pending->restricted = platform::RestrictedPeerLines::active();
  pending->deadline = control::deadlineAfter(timeoutSeconds);
  std::string id;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    id = std::to_string(++msgId_);
    pending_.emplace(id, pending);
    if (pending->deadline < sweepDue_) scheduleSweep(pending->deadline);
  }
  if (writeFrame(id, method, data, 0)) {
    sentThen(id, *pending, true);
    return;
  }
  // Another writer holds the connection or its buffer is full. Such frames
  // wait for room in turn, however many, on one worker; each at most until
  // its request's deadline, and one already past it is left to the sweep.
  lateFrames_->async([self = shared_from_this(), id, data, pending] {
    const std::chrono::duration<double> left = pending->deadline - std::chrono::steady_clock::now();
    self->sentThen(id, *pending,
                   left.count() > 0 && self->writeFrame(id, pending->method, data, left.count()));
  });
}

void KernelProcessManager::sentThen(const std::string& id, Pending& pending, bool written) {
  const platform::RestrictedPeerLines lines(pending.restricted);
  if (written) {
    log("→ " + pending.method);
    platform::flushLogBatch();  // before the reply can reach the client
  } else {
    bool mine = false;
    {
      std::lock_guard<std::mutex> g(pendingLock);
      mine = pending_.erase(id) > 0;
    }
    if (mine) {  // nobody else can finish it now
      runThen(pending);
      return;
    }
  }
  if (pending.met.exchange(true, std::memory_order_acq_rel)) runThen(pending);
}

void KernelProcessManager::finishThen(Pending& pending, std::optional<Json> reply, bool timedOut) {
  pending.obj = std::move(reply);
  pending.timedOut = timedOut;
  if (pending.met.exchange(true, std::memory_order_acq_rel)) runThen(pending);
}

void KernelProcessManager::runThen(Pending& pending) {
  const platform::RestrictedPeerLines lines(pending.restricted);
  // Whatever thread this is (the reader, the sweep, a writer), it finishes
  // other clients' requests too: a reply that cannot go at once goes later.
  const platform::RepliesNeverWait neverWait;
  if (pending.timedOut) {
    log("← " + pending.method + " 超时");
  } else if (pending.obj) {
    logFailure(pending.method, *pending.obj);
  }
  // Often on the reader, which must outlive whatever one continuation does.
  try {
    pending.then(std::move(pending.obj));
  } catch (const std::exception& e) {
    log("← " + pending.method + ": " + e.what());
  }
}

void KernelProcessManager::release(Pending& pending) {
  if (pending.then) {
    finishThen(pending, std::nullopt, false);
    return;
  }
  pending.answered.store(true, std::memory_order_release);
  pending.sem.signal();
}

void KernelProcessManager::scheduleSweep(std::chrono::steady_clock::time_point due) {
  sweepDue_ = due;
  platform::globalQueue(platform::QoS::Utility)
      .after(std::chrono::duration<double>(due - std::chrono::steady_clock::now()),
             [weakSelf = weak_from_this(), due] {
               if (auto self = weakSelf.lock()) self->sweepOverdue(due);
             });
}

void KernelProcessManager::sweepOverdue(std::chrono::steady_clock::time_point due) {
  std::vector<std::shared_ptr<Pending>> overdue;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    if (due != sweepDue_) return;  // an earlier deadline took its place
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    for (auto it = pending_.begin(); it != pending_.end();) {
      Pending& p = *it->second;
      if (p.then && p.deadline <= now) {
        overdue.push_back(std::move(it->second));
        it = pending_.erase(it);
        continue;
      }
      if (p.then) next = std::min(next, p.deadline);
      ++it;
    }
    sweepDue_ = std::chrono::steady_clock::time_point::max();
    if (next != sweepDue_) scheduleSweep(next);
  }
  for (auto& p : overdue) finishThen(*p, std::nullopt, true);
}

void KernelProcessManager::startReaderLoop() {
  // The reader works on its own duplicate of the connection, so that
  // closeControlSocket() can close controlFd at any moment without the reader
  // ever reading a reused number; the shutdown in closeControlSocket() still
  // ends the reader's blocking read, since both share one socket.
  const int fd = duplicateDescriptor(controlFd_);
  const uint64_t socket = socketIdentity(fd);
  {
    std::lock_guard<std::mutex> g(pendingLock);
    if (readerStarted_) {
      // A reader still runs. For this same connection that is all we need. For
      // a newer one (the old reader has been woken by the shutdown of its
      // socket but has not finished yet), the old reader starts the new one as
      // it leaves, so the new connection is never left without a reader.
      if (fd >= 0 && socket != readerSocket_) readerRestartWanted_ = true;
      if (fd >= 0) ::close(fd);
      return;
    }
    readerStarted_ = true;
    readerSocket_ = socket;
  }

  std::weak_ptr<KernelProcessManager> weakSelf = weak_from_this();
  platform::globalQueue(platform::QoS::Utility).async([weakSelf, fd] {
    auto self = weakSelf.lock();
    if (!self) {
      if (fd >= 0) ::close(fd);
      return;
    }
    self->readerLoop(fd);
  });
}

// While a caller waits for a reply and nobody else reads, the caller reads
// the connection itself: a hand-off through the reader thread would add two
// wake-ups to the round trip, which on few processors cost more than the
// round trip itself. The reader sleeps on an epoll set from which the caller
// takes the connection out while it reads, so the reply does not wake the
// reader too, and puts it back when it is done; anything that arrived
// meanwhile wakes the reader at once.
bool KernelProcessManager::takeReading() {
  std::lock_guard<std::mutex> g(pendingLock);
  if (readFd_ < 0 || reading_) return false;
  reading_ = true;
  // One-shot with no event: a hang-up, which epoll always reports, wakes the
  // reader at most once for nothing.
  epoll_event unwatched{};
  unwatched.events = EPOLLONESHOT;
  ::epoll_ctl(readWatch_, EPOLL_CTL_MOD, readFd_, &unwatched);
  return true;
}

void KernelProcessManager::giveReadingBack() {
  std::lock_guard<std::mutex> g(pendingLock);
  reading_ = false;
  epoll_event watched{};
  watched.events = EPOLLIN;
  ::epoll_ctl(readWatch_, EPOLL_CTL_MOD, readFd_, &watched);
}

void KernelProcessManager::readForReply(const Pending& pending,
                                        std::chrono::steady_clock::time_point deadline) {
  while (!pending.answered.load(std::memory_order_acquire)) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    // The descriptor stays open while this caller reads: the reader ends
    // only once it reads itself.
    pollfd readable{readFd_, POLLIN, 0};
    const int ready = ::ppoll(&readable, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0 && !deliverArrived(true)) {
      // The reader ends the connection, woken for it: nothing may be left to
      // read that would wake it.
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(readEnded_, &one, sizeof one);
      return;
    }
  }
}

bool KernelProcessManager::deliverArrived(bool fromCaller) {
  try {
    if (!readFrames_->receive()) return false;
    for (;;) {
      std::optional<Json> frame;
      const control::FrameReader::Taken taken = readFrames_->take(frame);
      if (taken == control::FrameReader::Taken::Again) return true;
      if (taken == control::FrameReader::Taken::End) return false;
      deliver(std::move(*frame), fromCaller);
    }
  } catch (const std::exception& e) {
    // Out of memory for a large frame: the connection ends as a broken one
    // does, and its waiters are released.
    readFrames_->end();
    try {
      log(std::string("reader: ") + e.what());
    } catch (...) {  // no memory for the line either
    }
    return false;
  }
}

void KernelProcessManager::deliver(Json frame, bool fromCaller) {
  std::string id;
  const auto idMember = frame.find("id");
  if (idMember != frame.end() && idMember->is_string()) id = idMember->get<std::string>();
  if (id.empty()) {
    collectPushedDelay(frame);
    return;
  }
  std::shared_ptr<Pending> waiter;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    auto node = pending_.extract(id);
    if (node) waiter = std::move(node.mapped());
  }
  // No waiter: it timed out already, or the id is unknown. Dropped quietly.
  if (!waiter) return;
  if (!waiter->then) {
    waiter->obj = std::move(frame);
    waiter->answered.store(true, std::memory_order_release);
    waiter->sem.signal();
  } else if (fromCaller) {
    platform::globalQueue(platform::QoS::Utility)
        .async([self = shared_from_this(), waiter, frame = std::move(frame)]() mutable {
          self->finishThen(*waiter, std::move(frame), false);
        });
  } else {
    finishThen(*waiter, std::move(frame), false);
  }
}

void KernelProcessManager::readerLoop(int fd) {
  control::FrameReader frames(fd);
  // Without an epoll set (none could be made) the reader reads alone.
  const int watch = fd >= 0 ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
  const int ended = watch >= 0 ? ::eventfd(0, EFD_CLOEXEC) : -1;
  epoll_event watched{};
  watched.events = EPOLLIN;
  const bool alone = ended < 0 || ::epoll_ctl(watch, EPOLL_CTL_ADD, fd, &watched) != 0 ||
                     ::epoll_ctl(watch, EPOLL_CTL_ADD, ended, &watched) != 0;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    readFrames_ = &frames;
    if (alone) {
      reading_ = true;
    } else {
      readFd_ = fd;
      readWatch_ = watch;
      readEnded_ = ended;
    }
  }
  for (;;) {
    if (!alone) {
      epoll_event ready{};
      // Fails only when interrupted: the set and the buffer are this loop's.
      if (::epoll_wait(watch, &ready, 1, -1) <= 0) continue;
      std::lock_guard<std::mutex> g(pendingLock);
      if (reading_) continue;  // a caller reads, and puts the connection back when done
      reading_ = true;
    }
    // Ends with the connection, or when it is closed with nothing to read.
    if (controlFd_.load() < 0 || !deliverArrived(false)) break;
    if (!alone) {
      std::lock_guard<std::mutex> g(pendingLock);
      reading_ = false;
    }
  }

  // Every caller still waiting gets nil now rather than at its time-out: no
  // reply can reach it any more. (While a newer connection is being taken over,
  // this may also release a request already written to it; that caller sees
  // the same nil as on a lost connection.) This reader holds the reading, so
  // no caller uses the descriptors or the frames as they go.
  std::map<std::string, std::shared_ptr<Pending>> orphans;
  bool restart = false;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    readFd_ = readWatch_ = readEnded_ = -1;
    readFrames_ = nullptr;
    reading_ = false;
    orphans.swap(pending_);
    readerStarted_ = false;
    readerSocket_ = 0;
    restart = std::exchange(readerRestartWanted_, false);
  }
  if (ended >= 0) ::close(ended);
  if (watch >= 0) ::close(watch);
  if (fd >= 0) ::close(fd);
  for (auto& entry : orphans) release(*entry.second);
  log("reader loop 结束");

  if (restart) startReaderLoop();
}

void KernelProcessManager::collectPushedDelay(const Json& frame) {
  if (!frame.is_object()) return;
  const auto method = frame.find("method");
  if (method == frame.end() || !method->is_string() || *method != "message") return;
  const auto message = frame.find("data");
  if (message == frame.end() || !message->is_object()) return;
  const auto type = message->find("type");
  if (type == message->end() || !type->is_string() || *type != "delay") return;
  const auto result = message->find("data");
  if (result == message->end() || !result->is_object()) return;
  const auto name = result->find("name");
  if (name == result->end() || !name->is_string() || name->get_ref<const std::string&>().empty()) {
    return;
  }
  const auto value = result->find("value");
  if (value == result->end()) return;
  const std::optional<int64_t> delay = control::truncatedInt64(*value);
  if (!delay) return;

  std::lock_guard<std::mutex> g(pushedDelaysLock);
  pushedDelays_[name->get<std::string>()] = *delay;
}

std::map<std::string, int64_t> KernelProcessManager::pushedDelays() const {
  std::lock_guard<std::mutex> g(pushedDelaysLock);
  return pushedDelays_;
}

int64_t KernelProcessManager::msgId() const {
  std::lock_guard<std::mutex> g(pendingLock);
  return msgId_;
}

}  // namespace zelvo
