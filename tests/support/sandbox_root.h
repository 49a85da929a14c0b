// SandboxRoot: a temporary filesystem root laid out by scripts/sandbox, for
// running the real daemon and tools under it. The directory lives under /tmp,
// its path never contains the kernel's executable name (so that pgrep/pkill
// patterns of one test cannot match another's command lines), and it is
// removed with everything in it when the object goes away.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "client/helper_client.h"

namespace zelvo::testing {

class SandboxRoot {
 public:
  struct Options {
    std::string kernel;  // copied as the preinstalled kernel when not empty
    std::string helper;  // copied as the helper executable (placeholder when empty)
  };

  SandboxRoot();
  explicit SandboxRoot(const Options& options);
  ~SandboxRoot();
  SandboxRoot(const SandboxRoot&) = delete;
  SandboxRoot& operator=(const SandboxRoot&) = delete;

  const std::string& path() const { return path_; }
  // An absolute host path ("/var/run/x") inside this root.
  std::string at(std::string_view absolutePath) const;
  std::string socketPath() const;
  // The preinstalled kernel location under this root.
  std::string kernelPath() const;

  // Copies `source` (the reference kernel by default) to kernelPath().
  void installKernel(const std::string& source = ZELVAN_CORE_BIN) const;
  void removeKernel() const;

  // A client of the daemon running under this root.
  std::unique_ptr<HelperClient> client() const;

 private:
  std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace zelvo::testing
