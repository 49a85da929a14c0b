#include "platform/host_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/error.h"

namespace zelvo::platform {
namespace {

// Leaked so that it outlives every static destructor that might still log a path.
std::string& rootStorage() {
  static std::string* root = new std::string("/");
  return *root;
}

// Creates each missing component of `dir` (an absolute path) with `mode`.
void makeParents(const std::string& dir, mode_t mode) {
  std::string partial;
  size_t pos = 0;
  while (pos < dir.size()) {
    size_t next = dir.find('/', pos + 1);
    if (next == std::string::npos) next = dir.size();
    partial = dir.substr(0, next);
    pos = next;
    if (partial.empty() || partial == "/") continue;
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
      throw Error::fromErrno(errno, partial);
    }
  }
}

// Removes whatever sits at `path` without following a symbolic link there.
void removeEntry(const std::string& path, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);  // does not follow links inside
    if (ec) throw Error::fromErrno(ec.value(), path);
  } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw Error::fromErrno(errno, path);
  }
}

// True when `path` is a real directory (not a link) owned by us with mode 0700.
// Checked through a descriptor opened with O_NOFOLLOW so the answer is about
// the directory itself and not about whatever a link points to.
// Also on its parent's file system: a file system mounted there by a user
// (FUSE) can claim any owner and mode, and hand the trial run one program
// and the installation another.
bool isOurPrivateDirectory(const std::string& path, dev_t parentDevice) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & 07777) == 0700 && st.st_dev == parentDevice;
  ::close(fd);
  return ok;
}

}  // namespace

void setRoot(std::string_view dir) {
  std::filesystem::path p(dir.empty() ? std::string_view("/") : dir);
  std::error_code ec;
  if (p.is_relative()) {
    auto abs = std::filesystem::absolute(p, ec);
    if (!ec) p = abs;
  }
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  rootStorage() = s;
}

const std::string& root() {
  return rootStorage();
}

std::string hostPath(std::string_view absolutePath) {
  const std::string& r = root();
  if (r == "/") return std::string(absolutePath);
  return joinPath(r, absolutePath);
}

std::string joinPath(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  while (a.size() > 1 && a.back() == '/') a.remove_suffix(1);
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  std::string out(a);
  if (out != "/") out += '/';
  out += b;
  return out;
}

std::string privateTemporaryDirectory(std::string_view under) {
  const std::string parent = hostPath(std::string(under));
  const std::string dir = joinPath(parent, "zelvo-helper-" + std::to_string(::geteuid()));
  makeParents(parent, 0755);
  struct stat above {};
  if (::stat(parent.c_str(), &above) != 0) throw Error::fromErrno(errno, parent);

  // A few rounds: something may be planted again between removal and mkdir.
  for (int attempt = 0; attempt < 5; ++attempt) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
      if (isOurPrivateDirectory(dir, above.st_dev)) return dir + "/";
      // A mount point: what is in it is not ours to remove.
      if (st.st_dev != above.st_dev) throw Error::fromErrno(EXDEV, dir);
      removeEntry(dir, st);
    } else if (errno != ENOENT) {
      throw Error::fromErrno(errno, dir);
    }
    if (::mkdir(dir.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      throw Error::fromErrno(errno, dir);
    }
    // mkdir's mode is filtered by the umask; set it exactly, through a
    // descriptor so a link swapped in meanwhile is not followed.
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      ::fchmod(fd, 0700);
      ::close(fd);
    }
    if (isOurPrivateDirectory(dir, above.st_dev)) return dir + "/";
  }
  throw Error::fromErrno(EEXIST, dir);
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace zelvo::platform
