// IPC client connection: the client end of the helper's IPC endpoint (the
// stand-in for an NSXPCConnection made to a Mach service).
//
// send() writes one request and registers its completion; a reader thread
// matches replies to requests by their sequence number, checks each reply
// against the remote interface and calls the completion exactly once: with
// the reply arguments, or with an error. When the connection breaks (the
// helper went away, or sent something that does not fit the interface),
// every pending completion fails at once, and so does every later send().
//
// Completions run on the connection's reader thread (a lone call's own one
// may run on its caller's thread, inside pollReplies()), one at a time and in
// the order the replies arrive. They must not wait for another reply of the
// same connection (that reply could never be read); HelperClient's blocking
// calls detect that and fail instead of deadlocking.
//
// Thread-safety: every public method may be called from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/ipc_frame.h"
#include "platform/ipc_interface.h"

namespace zelvo::platform {

// Errors of the IPC client, in this domain with these codes (the values of
// the NSXPCConnection error codes they stand for).
inline constexpr const char* kIpcErrorDomain = "ZelvoIPCErrorDomain";
enum IpcErrorCode : long {
  kIpcConnectionInterrupted = 4097,  // the helper went away while a call was pending
  kIpcConnectionInvalid = 4099,      // the connection was closed or could not be made
  kIpcReplyInvalid = 4101,           // a reply that does not fit the interface
  kIpcTimedOut = 4102,               // a blocking call gave up waiting
  kIpcBadRequest = 4103,             // the arguments do not fit the interface
};

struct IpcResult {
  std::optional<IpcValue> reply;  // the reply arguments, checked against the interface
  std::optional<Error> error;
  bool ok() const { return reply.has_value(); }
};

class IpcClientConnection {
 public:
  using Completion = std::function<void(IpcResult)>;

  // Connects to the socket at `socketPath` (blocking; a Unix-domain connect
  // waits for the server only while its backlog is full). Throws Error in the
  // POSIX domain with the errno of socket() or connect() when the helper
  // cannot be reached. With `requiredOwner`, the socket file and the process
  // listening on it must both belong to that uid, or the connection is
  // refused with EPERM: a client must not hand its requests to whoever
  // managed to bind the path. A positive `sendLimit` bounds the connect and
  // each send(), from its start to the last byte of its request: a request
  // that waited that long behind others fails alone (kIpcTimedOut), and one
  // the helper did not take in that time breaks the connection, failing the
  // calls pending on it with kIpcTimedOut too, instead of holding the caller
  // for ever.
  static std::shared_ptr<IpcClientConnection> connect(
      const std::string& socketPath, std::shared_ptr<const IpcInterface> remoteInterface,
      std::optional<uid_t> requiredOwner = std::nullopt,
      std::chrono::duration<double> sendLimit = {});

  // Stops the reader thread (and waits for it unless called from a completion).
  ~IpcClientConnection();
  IpcClientConnection(const IpcClientConnection&) = delete;
  IpcClientConnection& operator=(const IpcClientConnection&) = delete;

  // Sends `selector` with `args`. The completion runs exactly once, on the
  // reader thread; when the request cannot be sent it runs before send()
  // returns. Returns the call's sequence number, or 0 when it was not sent.
  // A `watched` call's caller watches for the reply itself with
  // pollReplies(), and calls stopWatching() before it stops doing so; while
  // that call is the only one pending, the reader thread is not woken by
  // its reply.
  uint64_t send(std::string_view selector, IpcValue args, Completion completion,
                bool watched = false);
  void stopWatching(uint64_t seq);
  // Gives up on call `seq`: its completion will not run, and a late reply to
  // it is dropped.
  void abandon(uint64_t seq);

  // Runs once, on the reader thread, when the helper closes the connection or
  // it breaks for any reason other than invalidate().
  void setInterruptionHandler(std::function<void()> handler);

  // Closes the connection; pending completions fail with
  // kIpcConnectionInvalid, before it returns when it is called from one of
  // this connection's completions. Idempotent.
  void invalidate();
  bool isValid() const;
  // True on this connection's reader thread, or inside a completion or
  // handler of this connection.
  bool onReaderThread() const;
  // While at most one call, a watched one, is pending, reads the replies that
  // have arrived and runs that call's completion on this thread, leaving any
  // other reply to the reader thread, unless another thread is reading them;
  // does not wait. True when it read something. A caller that expects the
  // reply to its lone call within microseconds watches for it this way and
  // spares the reader thread's wake-up.
  bool pollReplies();
  // True on the reader thread of any client connection.
  static bool onAnyReaderThread();

  const std::string& socketPath() const;

  struct State;

 private:
  explicit IpcClientConnection(std::shared_ptr<State> st);
  std::shared_ptr<State> st_;
};

}  // namespace zelvo::platform
