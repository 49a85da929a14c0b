// IPC listener: the server end of the helper's IPC endpoint (the stand-in
// for an NSXPCListener of a Mach service), a Unix-domain stream socket.
//
// One I/O thread serves every connection with epoll: it accepts, reads the
// peer's credentials, reassembles frames without blocking and hands complete
// requests to each connection's serial queue. No thread per connection: an
// idle connection costs its descriptor and a few hundred bytes, and an idle
// listener sleeps in epoll_wait without a time-out.
//
// For each accepted connection the delegate runs on the listener's own
// serial queue, in accept order; it configures and resumes the connection and
// returns true, or returns false to have it closed.
//
// Thread-safety: setDelegate before resume; invalidate from any thread except
// the I/O thread and the delegate queue.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ipc_connection.h"

namespace zelvo::platform {

class IpcEventLoop;

class IpcListener {
 public:
  using Delegate = std::function<bool(const std::shared_ptr<IpcConnection>& connection)>;

  // `label` names the listener's queue and, with a suffix, each connection's.
  IpcListener(std::string socketPath, std::string label);
  ~IpcListener();  // invalidates
  IpcListener(const IpcListener&) = delete;
  IpcListener& operator=(const IpcListener&) = delete;

  void setDelegate(Delegate delegate);

  // Decides at accept, from the peer's credentials, whether a connection is
  // restricted: frames of at most `maxFrameBody` bytes, a small backlog and a
  // budget of its own, and requests served on one lane shared by every
  // restricted connection, so that untrusted peers can hold neither much
  // memory nor many threads. Set before resume.
  using Restrictor = std::function<bool(uid_t uid, gid_t gid, const std::vector<gid_t>& groups)>;
  void setRestrictor(Restrictor restrictor, uint32_t maxFrameBody);

  // Serves the listening socket a service manager handed over (systemd's
  // LISTEN_FDS/LISTEN_PID, launchd's socket activation) when there is one;
  // otherwise creates the socket's directory if missing, unlinks a stale
  // socket file, binds, sets mode 0666 and listens. Then starts the I/O
  // thread. Throws Error with the errno of the failing call.
  void resume();

  // Stops accepting, closes every connection (each invalidation handler
  // runs), stops the I/O thread and unlinks the socket file (unless a service
  // manager handed it over). Idempotent.
  void invalidate();

  const std::string& socketPath() const { return socketPath_; }
  // Connections currently open (accepted and not yet closed).
  size_t connectionCount() const;

 private:
  std::string socketPath_;
  std::string label_;
  Delegate delegate_;
  Restrictor restrictor_;
  uint32_t restrictedMaxFrame_ = 0;
  std::shared_ptr<IpcEventLoop> loop_;
  bool handedOver_ = false;

  // Creates the directory, binds the path (mode 0666) and listens; returns
  // the listening descriptor.
  int bindOwnSocket();
};

}  // namespace zelvo::platform
