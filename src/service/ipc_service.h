// IpcService: puts the Helper on the IPC endpoint. It owns the listener and is
// its delegate: every connection is accepted, classed by the caller policy,
// given the HelperProtocol interface with its two class allowances and the
// Helper as exported object, and each checked request is decoded into the
// typed Helper call whose reply is encoded back in the order of the protocol
// table. An observer's request beyond what it may make gets the method's
// failure reply instead and reaches nothing.
//
// Thread-safety: resume and invalidate from the thread that owns the
// service; the delegate and the dispatch run on the listener's threads.
#pragma once

#include <memory>
#include <string>

#include "platform/ipc_listener.h"
#include "service/caller_policy.h"
#include "service/helper.h"

namespace zelvo {

class IpcService {
 public:
  // Listens at `socketPath` (the daemon passes hostPath(kHelperSocketPath)).
  IpcService(std::shared_ptr<Helper> helper, std::string socketPath, CallerPolicy policy = {});
  ~IpcService();
  IpcService(const IpcService&) = delete;
  IpcService& operator=(const IpcService&) = delete;

  // Starts listening. Throws platform::Error when the socket cannot be set up.
  void resume();
  // Stops listening and closes every connection.
  void invalidate();

  // The listener's delegate: classes, configures and resumes `connection`,
  // hands an owner's process id to the Helper (for the watchdog), returns true.
  bool shouldAcceptNewConnection(const std::shared_ptr<platform::IpcConnection>& connection);

  // Decodes one checked request into the Helper call and encodes its reply.
  static void dispatch(Helper& helper, const platform::IpcMethod& method, platform::IpcValue args,
                       const platform::IpcReply& reply);
  // The reply of a request that is not permitted: false, nil or zeros, and
  // "not permitted" where the reply carries an error text.
  static platform::IpcValue refusal(const platform::IpcMethod& method);

 private:
  std::shared_ptr<Helper> helper_;
  const CallerPolicy policy_;
  platform::IpcListener listener_;
};

}  // namespace zelvo
