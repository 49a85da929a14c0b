// IPC connection: one accepted client of an IpcListener (the server side of
// an NSXPCConnection).
//
// A connection starts suspended. The listener's delegate sets its exported
// interface, its exported object (a dispatcher of checked requests) and its
// handlers, then resumes it. From then on each complete request is checked
// against the interface and handed to the dispatcher on the connection's own
// serial queue: requests of one connection are delivered in order, one at a
// time. The dispatcher answers through an IpcReply, from any thread, exactly
// once; later calls are ignored.
//
// Anything the peer sends that does not fit the interface (a malformed frame,
// an unknown selector, wrong arguments, a class not allowed) invalidates the
// connection: it is closed and its invalidation handler runs once, on the
// connection's queue, after the requests delivered before. A peer that hangs
// up invalidates it the same way (one that shut down only its sending side
// once its replies went out). The interruption handler exists for symmetry
// with the client side; a server-side connection never interrupts.
//
// Thread-safety: every public method may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch.h"
#include "platform/ipc_frame.h"
#include "platform/ipc_interface.h"
#include "platform/process_probe.h"

namespace zelvo::platform {

class IpcConnection;
class IpcListener;

namespace detail {
// Bytes of requests announced, handed over and not yet finished with, shared
// by every connection of one kind: a frame counts at its announced length
// from its header on, so a budget bounds frames in progress too. Past `high`
// the I/O thread starts no new frame of those connections (one already begun
// is read to its end) until the count falls below `low`. Any thread.
class ByteBudget {
 public:
  ByteBudget(size_t high, size_t low) : high_(high), low_(low) {}
  void add(size_t bytes) { used_.fetch_add(bytes); }
  void remove(size_t bytes);
  bool high() const { return used_.load() >= high_; }
  bool low() const { return used_.load() < low_; }
  size_t used() const { return used_.load(); }
  // Remembers a connection paused for this budget; it is resumed once the
  // budget is low.
  void waitFor(const std::shared_ptr<IpcConnection>& connection);

 private:
  const size_t high_, low_;
  std::atomic<size_t> used_{0};
  std::mutex waitingLock_;
  std::vector<std::weak_ptr<IpcConnection>> waiting_;
};

struct ByteBudgets {
  ByteBudget full{512u << 20, 256u << 20};
  ByteBudget restricted{2u << 20, 1u << 20};
};

// What a connection needs from the listener's I/O thread. Both calls return
// at once; the work happens on the I/O thread, which alone closes descriptors
// and changes what it watches.
class IpcLoop {
 public:
  virtual ~IpcLoop() = default;
  virtual void requestClose(uint64_t connectionId) = 0;
  virtual void requestWatch(uint64_t connectionId) = 0;
};
}  // namespace detail

// The reply block of one request. Copyable; all copies share one "sent" flag.
class IpcReply {
 public:
  IpcReply() = default;
  // Sends the reply arguments (an array in the order of the method's reply
  // slots). The first call sends; later calls do nothing. A reply that does
  // not fit the interface is a bug of the service: it is logged and the
  // connection is invalidated instead.
  void operator()(IpcValue replyArgs) const;
  bool wasSent() const;

 private:
  friend class IpcConnection;
  struct State;
  explicit IpcReply(std::shared_ptr<State> st) : st_(std::move(st)) {}
  std::shared_ptr<State> st_;
};

using IpcDispatcher = std::function<void(const IpcMethod& method, IpcValue args, IpcReply reply)>;

// While one lives on a thread, a reply sent from that thread that cannot be
// written at once (its client is not reading, or another reply of the
// connection is being written) is left to the connection's late-reply writer,
// so that no client can hold the thread: for threads that serve everyone's
// requests.
class RepliesNeverWait {
 public:
  explicit RepliesNeverWait(bool applies = true);
  ~RepliesNeverWait();
  RepliesNeverWait(const RepliesNeverWait&) = delete;
  RepliesNeverWait& operator=(const RepliesNeverWait&) = delete;

 private:
  bool outer_;
};

class IpcConnection : public std::enable_shared_from_this<IpcConnection> {
 public:
  ~IpcConnection();
  IpcConnection(const IpcConnection&) = delete;
  IpcConnection& operator=(const IpcConnection&) = delete;

  // The peer's credentials, read with SO_PEERCRED when it connected. A peer
  // in another pid namespace reports process id 0.
  pid_t processIdentifier() const { return pid_; }
  uid_t effectiveUserIdentifier() const { return uid_; }
  gid_t effectiveGroupIdentifier() const { return gid_; }
  // The peer process itself, as it connected (see ProcessHandle::ofPeer).
  std::shared_ptr<const ProcessHandle> peerProcess();

  // Whether the listener restricted the connection (see
  // IpcListener::setRestrictor), as it decided at accept.
  bool isRestricted() const { return restricted_; }

  void setExportedInterface(std::shared_ptr<const IpcInterface> interface);
  void setExportedObject(IpcDispatcher dispatcher);
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);

  // Starts reading requests. Without an exported interface every request is
  // refused (and the connection invalidated). Called from the listener's
  // delegate, reading starts once the delegate has returned, so whatever the
  // delegate does comes before the connection's first request.
  void resume();
  // Closes the connection; requests not yet delivered are dropped and later
  // replies are discarded. Idempotent.
  void invalidate();
  bool isValid() const { return !invalidated_.load() && !closed_.load(); }

  // The serial queue on which requests and the invalidation handler run.
  Queue& queue() { return *queue_; }

 private:
  friend class IpcReply;
  friend class detail::ByteBudget;
  friend class IpcListener;
  friend class IpcEventLoop;

  IpcConnection(uint64_t id, int fd, pid_t pid, uid_t uid, gid_t gid,
                std::weak_ptr<detail::IpcLoop> loop, std::shared_ptr<Queue> queue,
                std::shared_ptr<detail::ByteBudgets> budgets);

  // A request decoded and checked against the interface; `method` is null
  // when the body was malformed or does not fit (the connection is then
  // invalidated at the request's turn, after those delivered before it).
  struct Request {
    const IpcMethod* method = nullptr;
    IpcValue args;
    IpcValue seq;
    std::shared_ptr<const IpcInterface> interface;  // keeps `method` alive
  };
  // Any thread: decodes and checks one request body.
  Request parse(std::vector<uint8_t>&& body) const;
  // Serial queue: dispatches one request (or invalidates for a bad one);
  // `bodySize` bytes stay counted until its reply is sent or dropped.
  void dispatch(Request&& request, size_t bodySize = 0);
  // Serial queue: a request handed over by the I/O thread, raw or parsed.
  void deliver(std::vector<uint8_t>&& body);
  void deliverParsed(Request&& request, size_t bodySize);
  // A request's share of the backlog: counted in by the I/O thread when it
  // hands the request over; its frame counted out once it has been
  // dispatched, its bytes once the work it feeds has answered (an upload or
  // a configuration lives on in the handler after dispatch returns).
  void admitted(size_t bodySize);
  void dispatched();
  void released(size_t bodySize);
  detail::ByteBudget& budget() const;
  // Re-arms a paused connection once its backlog (and, when it waits for
  // the budget, the budget) allows.
  void resumeIfRoom();
  // I/O thread: true when a small reply can be written without waiting, so
  // that answering on the I/O thread never stalls it.
  bool roomToReply();
  // Any thread: writes the reply to `request` as one whole frame under
  // writeLock_, then releases the request.
  void sendMessage(const IpcValue& message, std::shared_ptr<IpcReply::State> request);
  // Without `mayWait`, gives up where it would wait for the lock or for room
  // before writing anything, and answers false; true otherwise.
  bool sendFrame(const std::vector<uint8_t>& frame, bool mayWait);
  // Leaves a reply that could not go at once to this connection's queue of
  // late replies, which writes them in order.
  void sendLater(std::vector<uint8_t> frame, std::shared_ptr<IpcReply::State> request);
  // I/O thread: closes the descriptor and schedules the invalidation handler.
  // After a peer's hang-up (`stopDelivery` false) the requests it sent before
  // are still delivered, their replies discarded (a peer that only shut down
  // its sending side is closed after its replies instead); after a protocol
  // error or invalidate() they are dropped.
  void closeFromLoop(bool stopDelivery);
  void shutdownSocket();

  const uint64_t id_;
  const pid_t pid_;
  const uid_t uid_;
  const gid_t gid_;
  const std::weak_ptr<detail::IpcLoop> loop_;
  const std::shared_ptr<Queue> queue_;
  const std::shared_ptr<detail::ByteBudgets> budgets_;
  bool restricted_ = false;  // set at accept, before anyone else sees the connection
  void restrict(uint32_t maxFrameBody);

  // Guards the exported interface, object and handlers (set by the delegate,
  // read on the serial queue).
  mutable std::mutex handlersLock_;
  std::shared_ptr<const IpcInterface> interface_;
  IpcDispatcher dispatcher_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;

  std::atomic<bool> resumed_{false};
  std::atomic<bool> inDelegate_{true};  // the listener's delegate has not returned yet
  // Listener: the delegate returned; starts reading if it resumed us.
  void delegateReturned(bool accepted);
  std::atomic<bool> invalidated_{false};  // no further delivery
  std::atomic<bool> closed_{false};       // descriptor closed; replies discarded
  std::atomic<bool> invalidationFired_{false};

  // The descriptor is closed only by the I/O thread, holding both locks, so
  // either lock suffices to read it. fdLock_ is never held across a blocking
  // call; writeLock_ is held across a whole frame write (see sendMessage).
  std::mutex fdLock_;
  std::mutex writeLock_;
  int fd_;
  // The socket's send buffer size, read once: nothing here changes it.
  const int sendBufferBytes_;
  // An upper bound of the buffer memory every frame written costs, summed
  // before the frame goes out (so one still being written counts), and what
  // the last look at the send queue found, with the sum at that moment. The
  // two latter are the I/O thread's.
  std::atomic<uint64_t> chargedBytes_{0};
  uint64_t queuedAtLook_ = 0;
  uint64_t chargedAtLook_ = 0;
  // Made at the first late reply; most connections never have one.
  std::mutex lateLock_;
  std::shared_ptr<Queue> lateReplies_;  // lateLock_

  // Owned by the I/O thread.
  FrameAssembler assembler_;
  bool watched_ = false;
  // When the frame in progress began, while one is (and the peer is read).
  std::chrono::steady_clock::time_point partialSince_{};
  // The frame in progress's announced length, counted in the budget.
  size_t announced_ = 0;

  // Backpressure: frames handed to the queue and not yet handled. The I/O
  // thread stops reading a connection whose backlog is high and the queue
  // restarts it once the backlog is low.
  std::atomic<int> queuedFrames_{0};
  std::atomic<size_t> queuedBytes_{0};
  std::atomic<bool> paused_{false};
  std::atomic<bool> waitsForBudget_{false};  // paused until the budget is low
  // The peer sent its end of stream: no more reading, and the connection
  // closes once the last request counted in queuedBytes_ is answered.
  std::atomic<bool> hungUp_{false};
  bool backlogHigh() const;
  bool backlogLow() const;
};

}  // namespace zelvo::platform
