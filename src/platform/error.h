// Error: the one error type of the daemon, carrying a domain, a code and a
// localized description (the stand-in for Foundation's NSError).
//
// Internal operations that "may fail" throw it; request handlers catch it and
// turn it into their reply. Immutable after construction, so it may be copied
// and read from any thread.
#pragma once

#include <exception>
#include <string>

namespace zelvo::platform {

// The domain of errors that are a failed system call's errno.
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

class Error : public std::exception {
 public:
  Error(std::string domain, long code, std::string localizedDescription)
      : domain_(std::move(domain)), code_(code), description_(std::move(localizedDescription)) {}

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& localizedDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  // The error of a failed system call: domain kPosixErrorDomain, code
  // `err`, description strerror(err). Used where file-system and launch errors
  // pass through unchanged.
  static Error fromErrno(int err, const std::string& context = {});

 private:
  std::string domain_;
  long code_;
  std::string description_;
};

// strerror(err), safe on any thread (errors are built on many).
std::string errnoText(int err);

}  // namespace zelvo::platform
