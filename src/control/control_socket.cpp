// The listening control socket, its teardown, and the errors of socket set-up.
//
// Descriptor lifetime. Four kinds of thread use the channel's descriptors: the
// writers (writeFrame, under writeLock), the reader loop, the accepting drive
// sequence and closeControlSocket(). A descriptor number must never be closed
// while someone may still hand it to a system call, or that call could land on
// an unrelated file that reused the number. The rules:
//   - Writers test and use controlFd only while holding writeLock.
//   - The reader and the accept never use the numbers in the fields: each takes
//     its own duplicate under writeLock (duplicateDescriptor) and closes it
//     itself when done.
//   - closeControlSocket() takes the numbers out of the fields, shuts the
//     sockets down (on Linux close() alone does not wake a thread blocked in
//     accept, read or write on them; shutdown() does, also through the
//     duplicates, because they share the socket), and closes the numbers only
//     under writeLock, that is after any writer or duplicator that read them
//     has finished.
// closeControlSocket() cannot block behind a writer stuck on a full socket
// buffer: the shutdown comes before it waits for writeLock and makes that
// write fail.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "kernel/kernel_process_manager.h"
#include "platform/host_paths.h"

namespace zelvo {

namespace {

void closeKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

platform::Error KernelProcessManager::posixError(const std::string& call) {
  const int err = errno;
  return platform::Error(kErrorDomain, err, call + " failed: " + platform::errnoText(err));
}

void KernelProcessManager::setupControlSocket(const std::string& path) {
  // A listener or connection still open from an earlier launch or adoption
  // goes first, or its descriptor would leak.
  if (listenFd_.load() >= 0 || controlFd_.load() >= 0) closeControlSocket();
  ::unlink(path.c_str());  // a leftover from an earlier run must not block bind

  // Close-on-exec: the kernel we launch next must not inherit the listener.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw posixError("socket");

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() > kMaxSocketPathBytes) {
    closeKeepingErrno(fd);
    throw posixError("socket path too long");
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  addr.sun_path[path.size()] = '\0';

  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    closeKeepingErrno(fd);
    throw posixError("bind");
  }
  if (::listen(fd, 1) != 0) {
    closeKeepingErrno(fd);
    throw posixError("listen");
  }
  ::chmod(path.c_str(), 0660);  // the kernel runs as root too; keep everyone else out

  listenFd_.store(fd);
  log("Control socket listening at: " + path);
}

void KernelProcessManager::closeControlSocket() {
  // Taking the numbers out first means every later writer, reader-loop test
  // and duplicator sees -1, and that no two closers close the same number.
  // The listener goes first, so that no accept is published after this.
  const int listener = listenFd_.exchange(-1);
  const int control = controlFd_.exchange(-1);
  kernelPeerPid_.store(0);
  if (control >= 0) ::shutdown(control, SHUT_RDWR);
  if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> g(writeLock);
    if (control >= 0) ::close(control);
    if (listener >= 0) ::close(listener);
    // One published between the two exchanges above (publishing holds this
    // lock, and now finds the listener gone).
    if (const int late = controlFd_.exchange(-1); late >= 0) {
      ::shutdown(late, SHUT_RDWR);
      ::close(late);
    }
  }
  ::unlink(platform::joinPath(homeDir(), "control.sock").c_str());
}

int KernelProcessManager::acceptControlConnection(uint64_t* listenerIdentity) {
  const int listener = duplicateDescriptor(listenFd_);
  *listenerIdentity = socketIdentity(listener);
  int fd = -1;
  if (listener >= 0) {
    // A refused peer does not end the wait: the kernel may still be on its
    // way, and the wait stays bounded only by the listener being closed. A
    // peer that keeps coming back (a kernel's child, retrying) is logged once.
    pid_t refused = 0;
    for (;;) {
      fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && errno == EINTR) continue;
      if (fd < 0 || isKernelPeer(fd, refused)) break;
      ::close(fd);
    }
    ::close(listener);
  }
  return fd;
}

bool KernelProcessManager::isKernelPeer(int fd, pid_t& lastRefused) {
  // The credentials the operating system recorded at connect, which the peer
  // cannot forge: neither another user's process nor another of ours passes.
  ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    peer = ucred{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  }
  const pid_t kernel = kernelPeerPid_.load();
  if (kernel > 0 && peer.pid == kernel && peer.uid == ::geteuid()) return true;
  if (std::exchange(lastRefused, peer.pid) != peer.pid) {
    log("control socket: refused peer pid " + std::to_string(peer.pid) + " uid " +
        std::to_string(peer.uid) + " (not the kernel)");
  }
  return false;
}

uint64_t KernelProcessManager::socketIdentity(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_ino);
}

bool KernelProcessManager::publishAccepted(uint64_t listener, int fd) {
  std::lock_guard<std::mutex> g(writeLock);
  if (listener == 0 || socketIdentity(listenFd_.load()) != listener) return false;
  const int displaced = controlFd_.exchange(fd);
  if (displaced >= 0) {
    ::shutdown(displaced, SHUT_RDWR);
    ::close(displaced);
  }
  return true;
}

int KernelProcessManager::duplicateDescriptor(const std::atomic<int>& field) {
  std::lock_guard<std::mutex> g(writeLock);
  const int fd = field.load();
  if (fd < 0) return -1;
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace zelvo
