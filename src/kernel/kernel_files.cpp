// Where the kernel executable, its work directory and its log live, and how
// a kernel executable is installed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"

namespace zelvo {

namespace fs = std::filesystem;

namespace {

platform::Error fileSystemError(const std::error_code& ec, const std::string& what) {
  return platform::Error("NSCocoaErrorDomain", ec.value(), what + ": " + ec.message());
}

}  // namespace

const std::string& KernelProcessManager::dataPath() {
  std::call_once(dataPathOnce_, [this] {
    dataPath_ = platform::hostPath(kDataDirectory);
    std::error_code ec;
    fs::create_directories(dataPath_, ec);  // failures show up later in the user of the path
  });
  return dataPath_;
}

const std::string& KernelProcessManager::homeDir() {
  std::call_once(homeDirOnce_, [this] {
    homeDir_ = platform::joinPath(dataPath(), kWorkDirectoryName);
    std::error_code ec;
    fs::create_directories(homeDir_, ec);
  });
  return homeDir_;
}

std::string KernelProcessManager::binaryPath() {
  const std::string preinstalled =
      platform::joinPath(platform::hostPath(kPreinstalledDirectory), binaryName);
  if (platform::fileExists(preinstalled)) {
    log("Found kernel at: " + preinstalled);
    return preinstalled;
  }
  const std::string installed = platform::joinPath(dataPath(), binaryName);
  if (platform::fileExists(installed)) {
    log("Found kernel at: " + installed);
    return installed;
  }
  return preinstalled;
}

void KernelProcessManager::installBinary(const std::string& source) {
  const std::string destination = platform::joinPath(dataPath(), binaryName);
  std::error_code ec;
  // Whatever is in the way goes, a dangling link included.
  fs::remove(destination, ec);
  if (ec) throw fileSystemError(ec, "remove " + destination);
  fs::copy_file(source, destination, fs::copy_options::none, ec);
  if (ec) throw fileSystemError(ec, "copy " + source + " to " + destination);
  if (::chmod(destination.c_str(), 0755) != 0) {
    throw fileSystemError(std::error_code(errno, std::generic_category()), "chmod " + destination);
  }
  log("Installed kernel to: " + destination);
}

void KernelProcessManager::wipeConfig() {
  {
    std::lock_guard<std::mutex> g(fieldsLock_);
    currentConfigYAML_.clear();
  }
  std::error_code ec;
  fs::remove(platform::joinPath(homeDir(), "config.yaml"), ec);
}

}  // namespace zelvo
