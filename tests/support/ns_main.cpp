// The main of the daemon-level tests. The daemon finds and kills kernels with pgrep/pkill, which
// see every process they can see: each test process therefore runs in a PID namespace of its own
// with its own /proc, where the only kernels are its own. Its first process reaps the orphans a
// killed daemon leaves (as init does) until the tests end; when it goes, the kernel kills
// everything left in the namespace. It has a network namespace of its own too, with only loopback
// up: a port a test found free cannot be taken by another test process running beside it before its
// kernel listens there. Where no namespace can be had, the tests say so and take a machine-wide
// lock instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

int exitCodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A new network namespace starts with its loopback down.
bool loopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  ::close(fd);
  return up;
}

// Returns in the process that runs the tests; the others exit with its code.
bool enterNamespace() {
  if (::unshare(CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
  if (!loopbackUp()) {
    std::fprintf(stderr, "[ namespace ] cannot bring up loopback: %s\n", std::strerror(errno));
    std::_Exit(1);
  }
  const pid_t init = ::fork();
  if (init < 0) return false;
  if (init > 0) {
    int status = 0;
    while (::waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    // _exit: children of this process would land in the namespace whose init
    // is gone, so a leak check at exit could not even start its tracer.
    ::_exit(exitCodeOf(status));
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    std::fprintf(stderr, "[ namespace ] cannot mount /proc: %s\n", std::strerror(errno));
    std::_Exit(1);
  }
  const pid_t worker = ::fork();
  if (worker == 0) return true;
  for (;;) {
    int status = 0;
    const pid_t pid = ::wait(&status);
    if (pid == worker) std::_Exit(exitCodeOf(status));
    if (pid < 0 && errno != EINTR) std::_Exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::string_view(argv[i]) == "--gtest_list_tests";
  if (!listing && !enterNamespace()) {
    std::fprintf(stderr,
                 "[ namespace ] no PID namespace here (%s): running under the machine-wide "
                 "lock /tmp/zelvo-daemon-tests.lock instead\n",
                 std::strerror(errno));
    const int fd = ::open("/tmp/zelvo-daemon-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
