#include "daemon_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/proc_scan.h"

extern char** environ;

namespace zelvo::testing {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

DaemonProcess::DaemonProcess(const SandboxRoot& root, std::vector<std::string> extraArgs)
    : root_(root), extraArgs_(std::move(extraArgs)), logPath_(root.path() + "/daemon.log") {
  start();
}

DaemonProcess::~DaemonProcess() {
  kill9();
  std::string log = readFile(logPath_);
  for (const char* marker : {"ERROR: AddressSanitizer", "runtime error:",
                             "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"}) {
    if (log.find(marker) != std::string::npos) {
      ADD_FAILURE() << "the daemon reported a sanitizer finding:\n" << log;
      break;
    }
  }
}

void DaemonProcess::start() {
  if (pid_ > 0) throw std::runtime_error("daemon already running");
  runOffset_ = readFile(logPath_).size();
  int fd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + logPath_);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
  std::vector<std::string> argv{ZELVO_HELPER_BIN, "--root", root_.path()};
  argv.insert(argv.end(), extraArgs_.begin(), extraArgs_.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  // Under ThreadSanitizer the daemon reads the suppressions of known
  // false positives in the C library; other builds ignore the variable.
  std::vector<std::string> env;
  std::string tsan = "suppressions=" + std::string(ZELVO_SOURCE_DIR) + "/tests/support/tsan.supp";
  for (char** e = environ; *e; ++e) {
    std::string var = *e;
    if (var.rfind("TSAN_OPTIONS=", 0) == 0) {
      tsan = var.substr(13) + " " + tsan;
    } else {
      env.push_back(var);
    }
  }
  env.push_back("TSAN_OPTIONS=" + tsan);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fd);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot spawn the daemon");
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    struct stat st {};
    // The kernel-presence line comes after launch reconciliation: a test that
    // starts a kernel before it would see that kernel taken for a survivor
    // of an earlier run and killed.
    const bool reconciled = countLog("[Helper] 内核 version: zelvan-core") > 0 ||
                            countLog("[Helper] Warning: 内核 binary not found") > 0;
    if (countLog("[Helper] Started and listening on com.zelvo.svc.helper") > 0 && reconciled &&
        ::stat(root_.socketPath().c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      return;
    }
    if (!running()) throw std::runtime_error("the daemon exited at start:\n" + readFile(logPath_));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the daemon did not start listening:\n" + readFile(logPath_));
}

void DaemonProcess::kill9() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void DaemonProcess::pause() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGSTOP);
  // The stop lands on each thread when it next runs, not when kill returns:
  // wait until every thread is stopped, or a request sent now is served.
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    bool allStopped = true;
    if (DIR* d = ::opendir(tasks.c_str())) {
      while (dirent* e = ::readdir(d)) {
        const pid_t tid = std::atoi(e->d_name);
        const char state = tid > 0 ? processState(tid) : 'T';
        if (state != 0 && state != 'T') allStopped = false;
      }
      ::closedir(d);
    }
    if (allStopped || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void DaemonProcess::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

int DaemonProcess::waitExit(Seconds timeout) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool DaemonProcess::running() {
  if (pid_ <= 0) return false;
  int status;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::vector<std::string> DaemonProcess::logLines() const {
  std::string all = readFile(logPath_);
  return splitLines(runOffset_ <= all.size() ? all.substr(runOffset_) : std::string());
}

std::vector<std::string> DaemonProcess::allLogLines() const {
  return splitLines(readFile(logPath_));
}

size_t DaemonProcess::countLog(std::string_view needle) const {
  size_t n = 0;
  for (const auto& line : logLines()) n += line.find(needle) != std::string::npos;
  return n;
}

bool DaemonProcess::waitForLog(std::string_view needle, Seconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (countLog(needle) > 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int DaemonProcess::openFdCount() const {
  std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n;
}

long DaemonProcess::rssKiB() const {
  std::istringstream in(readFile("/proc/" + std::to_string(pid_) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

long DaemonProcess::cpuTicks() const {
  std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
  // Fields after the parenthesised command name; utime and stime are the
  // 14th and 15th fields overall.
  auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

}  // namespace zelvo::testing
