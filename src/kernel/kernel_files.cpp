// Where the kernel executable, its work directory and its log live, and how
// a kernel executable is installed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"

namespace zelvo {

namespace fs = std::filesystem;

namespace {

platform::Error fileSystemError(const std::error_code& ec, const std::string& what) {
  return platform::Error("NSCocoaErrorDomain", ec.value(), what + ": " + ec.message());
}

std::string describe(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "uid " + std::to_string(st.st_uid) + " mode " + mode;
}

// Makes `dir` a directory owned by our effective uid that nobody else may
// write: mode exactly `exactMode` when given, else its own mode less group
// and other write. The repair goes through a descriptor opened without
// following links, so a link swapped in after the check is never followed.
// True when it was open to others (not ours, or writable by group or others),
// so that what it holds may be theirs.
bool makeOwnDirectory(const std::string& dir, std::optional<mode_t> exactMode) {
  const auto refuse = [&dir](const std::string& why) {
    return platform::Error(KernelProcessManager::kErrorDomain, -1, dir + " " + why);
  };
  const auto systemText = [](int err) {
    return std::error_code(err, std::generic_category()).message();
  };
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) throw refuse("cannot be used: " + systemText(errno));
  if (S_ISLNK(st.st_mode)) throw refuse("is a symbolic link");
  if (!S_ISDIR(st.st_mode)) throw refuse("is not a directory");
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    throw refuse("cannot be used: " + systemText(err));
  }
  const std::string before = describe(st);
  const uid_t me = ::geteuid();
  const bool wasOpen = st.st_uid != me || (st.st_mode & 022) != 0;
  bool ok =
      st.st_uid == me || (::fchown(fd, me, static_cast<gid_t>(-1)) == 0 && ::fstat(fd, &st) == 0);
  const mode_t wanted = exactMode ? *exactMode : (st.st_mode & 07777 & ~mode_t{022});
  if (ok && (st.st_mode & 07777) != wanted) ok = ::fchmod(fd, wanted) == 0 && ::fstat(fd, &st) == 0;
  const int err = errno;
  ::close(fd);
  if (!ok) throw refuse("(" + before + ") cannot be made the daemon's own: " + systemText(err));
  if (describe(st) != before) {
    KernelProcessManager::log("Repaired " + dir + ": " + before + " -> " + describe(st));
  }
  return wasOpen;
}

// After a directory was open to others, what they may have put there under
// the daemon's names is not run, read or trusted: only a plain file of the
// daemon's own that no other user or group may write is kept.
void dropPlanted(const std::string& dir) {
  for (const char* name :
       {KernelProcessManager::binaryName, "kernel.log", "proxy-users", "proxy-users.new"}) {
    const std::string path = platform::joinPath(dir, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    const bool othersWrite =
        (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid());
    if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && !othersWrite && st.st_nlink == 1) {
      continue;
    }
    std::error_code ec;
    fs::remove(path, ec);
    const std::string what = path + " (" + describe(st) + ")";
    if (!ec) {
      KernelProcessManager::log("Removed " + what + ": the directory was open to others");
    } else if (name == std::string_view(KernelProcessManager::binaryName)) {
      // Never to be run as the kernel.
      throw platform::Error(KernelProcessManager::kErrorDomain, -1,
                            what + " cannot be removed: " + ec.message());
    } else {
      KernelProcessManager::log("Cannot remove " + what + ": " + ec.message());
    }
  }
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
    // Private from the start: it holds the control socket, which only the
    // kernel may reach. A failure shows up later in the user of the path.
    ::mkdir(homeDir_.c_str(), 0700);
  });
  return homeDir_;
}

void KernelProcessManager::secureDirectories() {
  // Whoever can write the data directory can plant a kernel for us to run as
  // root or a link where kernel.log goes; whoever can enter the work
  // directory can reach the control socket.
  if (makeOwnDirectory(dataPath(), std::nullopt)) dropPlanted(dataPath());
  // The kernel runs as root in the work directory and reads and writes there
  // by its own names, which we do not know: nothing others may have put
  // there is kept.
  if (makeOwnDirectory(homeDir(), mode_t{0700})) {
    std::error_code ec;
    std::vector<fs::path> planted;
    for (const auto& entry : fs::directory_iterator(homeDir(), ec)) planted.push_back(entry.path());
    for (const auto& path : planted) {
      fs::remove_all(path, ec);
      KernelProcessManager::log(ec ? "Cannot remove " + path.string() + ": " + ec.message()
                                   : "Removed " + path.string() +
                                         ": the directory was open to others");
    }
  }
}

std::string KernelProcessManager::binaryPath() {
  bool found = false;
  return binaryPath(found);
}

std::string KernelProcessManager::binaryPath(bool& found) {
  found = true;
  std::string preinstalled =
      platform::joinPath(platform::hostPath(kPreinstalledDirectory), binaryName);
  if (platform::fileExists(preinstalled)) {
    log("Found kernel at: " + preinstalled);
    return preinstalled;
  }
  std::string installed = platform::joinPath(dataPath(), binaryName);
  if (platform::fileExists(installed)) {
    log("Found kernel at: " + installed);
    return installed;
  }
  found = false;
  return preinstalled;
}

void KernelProcessManager::installBinary(const std::string& source) {
  const std::string destination = platform::joinPath(dataPath(), binaryName);
  std::error_code ec;
  // Whatever is in the way goes: a directory with its contents, a link
  // itself (dangling or not), never what it points to.
  fs::remove_all(destination, ec);
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
  removeConfigFile();
}

void KernelProcessManager::removeConfigFile() {
  std::error_code ec;  // whatever is there goes; nothing to report
  fs::remove_all(platform::joinPath(homeDir(), "config.yaml"), ec);
}

}  // namespace zelvo
