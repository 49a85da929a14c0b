#include "platform/error.h"

#include <string.h>

namespace zelvo::platform {

namespace {

// strerror_r comes in a GNU and an XSI flavour; these pick the text from
// either without depending on feature macros.
[[maybe_unused]] const char* strerrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerrorText(const char* result, const char*) {
  return result;
}

}  // namespace

std::string errnoText(int err) {
  char buffer[256] = {};
  return strerrorText(strerror_r(err, buffer, sizeof buffer), buffer);
}

Error Error::fromErrno(int err, const std::string& context) {
  std::string text = errnoText(err);
  if (!context.empty()) text = context + ": " + text;
  return Error(kPosixErrorDomain, err, std::move(text));
}

}  // namespace zelvo::platform
