// Request/reply correlation on the control connection, the reader loop that
// delivers replies, and the delay results the kernel pushes on its own.
//
// A caller registers a Pending under a fresh id, writes its frame and waits on
// the Pending's semaphore; the single reader takes the Pending out of the map
// when the reply with that id arrives and signals it. Whoever takes a Pending
// out of the map (reader on reply or at its end, caller on write failure or
// time-out, the writer a frame was handed to when it could not send it) is
// the only one to finish it, so no request is answered twice and a late
// reply finds nothing and is dropped.
//
// A request sent with sendActionThen has no caller waiting: whoever finishes
// it runs its continuation, which spares the waiting thread's wake-up, and one
// sweep scheduled at the earliest deadline times such requests out.
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
  bool alone = false;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    id = std::to_string(++msgId_);
    pending_.emplace(id, pending);
    alone = pending_.size() == 1;
  }

  // Registered before writing: the reply may arrive before writeFrame returns.
  if (!writeFrame(id, method, data, timeoutSeconds)) {
    std::lock_guard<std::mutex> g(pendingLock);
    pending_.erase(id);
    return std::nullopt;
  }
  log("→ " + method);

  // A lone caller watches for its reply before it sleeps, where processors
  // are to spare; concurrent callers sleep at once and leave the processors
  // to the kernel.
  auto answered = [&] { return pending->answered.load(std::memory_order_acquire); };
  if (alone && platform::watchingForRepliesPays()) {
    platform::spinFor(platform::kReplySpin, answered);
  }
  if (!answered() && !pending->sem.waitUntil(control::deadlineAfter(timeoutSeconds))) {
    {
      std::lock_guard<std::mutex> g(pendingLock);
      pending_.erase(id);
    }
    log("← " + method + " 超时");
    return std::nullopt;
  }

  // The reader stored obj before signalling; the semaphore orders the two.
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

void KernelProcessManager::readerLoop(int fd) {
  control::FrameReader frames(fd);
  while (fd >= 0 && controlFd_.load() >= 0) {
    std::optional<Json> frame;
    try {
      frame = frames.next();
    } catch (const std::exception& e) {
      // Out of memory for a large frame: the connection ends as a broken
      // one does, and its waiters are released. Leaving the loop by the
      // exception would leave this connection marked as read for good.
      try {
        log(std::string("reader: ") + e.what());
      } catch (...) {  // no memory for the line either
      }
    }
    if (!frame) break;

    std::string id;
    const auto idMember = frame->find("id");
    if (idMember != frame->end() && idMember->is_string()) id = idMember->get<std::string>();

    if (!id.empty()) {
      std::shared_ptr<Pending> waiter;
      {
        std::lock_guard<std::mutex> g(pendingLock);
        auto node = pending_.extract(id);
        if (node) waiter = std::move(node.mapped());
      }
      // No waiter: it timed out already, or the id is unknown. Dropped quietly.
      if (waiter && waiter->then) {
        finishThen(*waiter, std::move(*frame), false);
      } else if (waiter) {
        waiter->obj = std::move(*frame);
        waiter->answered.store(true, std::memory_order_release);
        waiter->sem.signal();
      }
    } else {
      collectPushedDelay(*frame);
    }
  }
  if (fd >= 0) ::close(fd);

  // Every caller still waiting gets nil now rather than at its time-out: no
  // reply can reach it any more. (While a newer connection is being taken over,
  // this may also release a request already written to it; that caller sees
  // the same nil as on a lost connection.)
  std::map<std::string, std::shared_ptr<Pending>> orphans;
  bool restart = false;
  {
    std::lock_guard<std::mutex> g(pendingLock);
    orphans.swap(pending_);
    readerStarted_ = false;
    readerSocket_ = 0;
    restart = std::exchange(readerRestartWanted_, false);
  }
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
