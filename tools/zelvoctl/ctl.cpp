#include "ctl.h"

#include <ostream>

#include "platform/ipc_client.h"

namespace zelvoctl {

using zelvo::platform::Error;

Ctl::Ctl(std::string socketPath, std::ostream& out, std::ostream& err)
    : client_(std::move(socketPath)), out_(out), err_(err) {}

int Ctl::fail(const std::string& what, const Error& error) {
  namespace p = zelvo::platform;
  const std::string& path = client_.socketPath();
  if (error.domain() == p::kPosixErrorDomain) {
    // Only connecting fails in the POSIX domain: the helper is not there.
    err_ << "zelvoctl: cannot reach the helper at " << path << ": " << error.localizedDescription()
         << "\n";
    return 2;
  }
  if (error.code() == p::kIpcConnectionInterrupted) {
    err_ << "zelvoctl: the helper at " << path << " closed the connection during " << what << "\n";
    return 2;
  }
  err_ << "zelvoctl: " << what << " failed: " << error.localizedDescription() << "\n";
  return 1;
}

}  // namespace zelvoctl
