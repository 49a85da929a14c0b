#include "platform/error.h"

#include <string.h>

namespace zelvo::platform {

Error Error::fromErrno(int err, const std::string& context) {
  // strerror_r (GNU form) rather than strerror: errors are built on many threads.
  char buf[256];
  std::string text = strerror_r(err, buf, sizeof buf);
  if (!context.empty()) text = context + ": " + text;
  return Error("NSPOSIXErrorDomain", err, std::move(text));
}

}  // namespace zelvo::platform
