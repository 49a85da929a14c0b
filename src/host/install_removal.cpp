// Kernel installation (upload, trial run, install) and removal of the helper
// itself (kernel, system proxy, its place in the service manager, process).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "host/host_backend.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/host_paths.h"
#include "platform/log.h"
#include "platform/subprocess.h"
#include "service/helper.h"

namespace zelvo {

namespace {

// A kernel answers "version" at once. The bound is there because the upload
// is arbitrary bytes: a program that never exits would otherwise hold a
// worker thread for ever and the client would never get its reply. The
// program is killed and the installation fails with kTrialTimedOut.
constexpr double kTrialRunTimeoutSeconds = 10.0;
constexpr const char* kTrialTimedOut = "内核 version check timed out";

constexpr platform::Seconds kExitDelay{0.5};

// The upload is written in slices so that no single write(2) is asked for
// hundreds of megabytes at once; short writes are continued.
constexpr size_t kWriteChunk = 1 << 20;

// Owns a descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the error of close(2), which for a regular file
  // can be the first sign that the data did not reach the disk.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? ::close(fd) : 0;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Replaces whatever is at `path` with `bytes`, mode 0755. The old entry is
// unlinked and the new one created exclusively without following links, so a
// link planted at the name can never redirect the write elsewhere.
void writeExecutable(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw platform::Error::fromErrno(errno, path);
  }
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
  if (fd.get() < 0) throw platform::Error::fromErrno(errno, path);
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t want = std::min(kWriteChunk, bytes.size() - done);
    const ssize_t n = ::write(fd.get(), bytes.data() + done, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw platform::Error::fromErrno(errno, path);
    }
    done += static_cast<size_t>(n);
  }
  // Exact mode whatever the umask; through the descriptor, so it is this file.
  if (::fchmod(fd.get(), 0755) != 0) throw platform::Error::fromErrno(errno, path);
  if (fd.close() != 0) throw platform::Error::fromErrno(errno, path);
}

// Reads and throws away everything from `fd` until end of file or until
// `deadline`: a heir of the trial that keeps the pipe open must not pin a
// worker for longer than the trial itself may take.
void discardUntilEof(int fd, std::chrono::steady_clock::time_point deadline) {
  char buf[16 * 1024];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd in{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&in, 1, static_cast<int>(left.count())) == 0) return;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
  }
}

enum class TrialOutcome { Passed, Failed, TimedOut };

// Runs `path version` with both output streams on one pipe that is drained
// and discarded, so a talkative program cannot block on a full pipe and the
// daemon does not keep what it prints. Throws the launch error.
TrialOutcome trialRun(const std::string& path) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw platform::Error::fromErrno(errno, "pipe");
  auto readEnd = std::make_shared<Fd>(fds[0]);
  Fd writeEnd(fds[1]);

  auto process = platform::Subprocess::create();
  process->setExecutable(path);
  process->setArguments({"version"});
  // What it leaves running in its group goes with it; it reads nothing of ours.
  process->setKillGroupOnExit(true);
  process->setStdin(platform::Subprocess::Stream::Null);
  process->setStdout(platform::Subprocess::Stream::File, writeEnd.get());
  process->setStderr(platform::Subprocess::Stream::File, writeEnd.get());

  // Another thread spawning at the same moment can briefly hold a copy of the
  // file's just-closed write descriptor (between its fork and its exec),
  // which makes exec fail with ETXTBSY. That is transient; try a few times.
  for (int attempt = 0;; ++attempt) {
    try {
      process->launch();
      break;
    } catch (const platform::Error& e) {
      if (e.code() != ETXTBSY || attempt >= 4) throw;
      platform::sleepFor(platform::Seconds(0.05));
    }
  }
  writeEnd.reset();  // end of file comes when the program (and its heirs) close theirs

  // The drain lives on its own work item: a grandchild that inherits the pipe
  // may keep it open long after the trial, and must not hold this thread.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(kTrialRunTimeoutSeconds));
  platform::globalQueue(platform::QoS::Utility).async([readEnd, deadline] {
    discardUntilEof(readEnd->get(), deadline);
  });

  if (!process->waitUntilExitOrKill(platform::Seconds(kTrialRunTimeoutSeconds))) {
    return TrialOutcome::TimedOut;
  }
  const bool ok = !process->terminatedBySignal() && process->terminationStatus() == 0;
  return ok ? TrialOutcome::Passed : TrialOutcome::Failed;
}

std::string describe(const std::exception& e) {
  if (const auto* err = dynamic_cast<const platform::Error*>(&e)) {
    return err->localizedDescription();
  }
  return e.what();
}

}  // namespace

void Helper::installKernel(std::vector<uint8_t> binaryData, BoolErrorReply completion) {
  log("installKernel called with " + std::to_string(binaryData.size()) + " bytes");
  // Moved, not copied: uploads can be hundreds of megabytes.
  auto bytes = std::make_shared<std::vector<uint8_t>>(std::move(binaryData));
  std::weak_ptr<Helper> weakSelf = weak();
  const std::string_view tmp = host_->temporaryParent();
  platform::globalQueue(platform::QoS::UserInitiated).async([weakSelf, bytes, completion, tmp] {
    auto fail = [&weakSelf, &completion](const std::string& description) {
      platform::mainQueue().async([weakSelf, description, completion] {
        if (weakSelf.lock()) log("Failed to install 内核: " + platform::forLog(description));
        completion(false, description);
      });
    };

    // Every upload stages at the same path: one at a time from staging to
    // installing, so the bytes installed are the bytes that passed the trial.
    static std::mutex staging;
    const std::lock_guard<std::mutex> turn(staging);
    std::string tempPath;
    TrialOutcome outcome;
    try {
      tempPath = platform::privateTemporaryDirectory(tmp) + "内核-temp";
      writeExecutable(tempPath, *bytes);
      // On disk now; the memory can go before the trial and the copy.
      std::vector<uint8_t>().swap(*bytes);
      outcome = trialRun(tempPath);
    } catch (const std::exception& e) {
      fail(describe(e));
      return;
    }

    if (outcome == TrialOutcome::TimedOut) {
      fail(kTrialTimedOut);
      return;
    }
    if (outcome == TrialOutcome::Failed) {
      ::unlink(tempPath.c_str());
      platform::mainQueue().async(
          [completion] { completion(false, std::string("Invalid 内核 binary")); });
      return;
    }

    auto self = weakSelf.lock();
    if (!self) {
      fail("Helper instance deallocated");
      return;
    }
    try {
      self->processManager()->installBinary(tempPath);
    } catch (const std::exception& e) {
      fail(describe(e));
      return;
    }
    self.reset();
    ::unlink(tempPath.c_str());
    platform::mainQueue().async([weakSelf, completion] {
      if (weakSelf.lock()) log("内核 installed successfully");
      completion(true, std::nullopt);
    });
  });
}

void Helper::uninstallHelper(const BoolReply& completion) {
  log("uninstallHelper called");

  try {
    processManager_->stop();
  } catch (const std::exception&) {
    // Removal goes on regardless: the rest must still happen.
  }

  configureSystemProxy(false, "", 0, 0);

  const bool removed = host_->removeService();
  completion(removed);

  // The reply gets half a second to reach the client. _exit, not exit: the
  // process is going away on purpose, and nothing at-exit (static
  // destructors racing live worker threads, the leak checker of a sanitizer
  // build) may turn that into a crash or a non-zero status.
  platform::mainQueue().after(kExitDelay, [host = host_] {
    host->finishRemoval();
    platform::flushLog(std::chrono::milliseconds(500));
    std::fflush(nullptr);
    ::_exit(0);
  });
}

}  // namespace zelvo
