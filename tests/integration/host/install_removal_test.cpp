// Kernel installation (upload, trial run, install) and helper removal with the
// real daemon: replies, log lines, files, the running kernel, the process
// exit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "support/host_test_support.h"

namespace zelvo::testing::host {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bytesOf(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> fileBytes(const std::string& path) {
  return bytesOf(readFile(path));
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Peak resident set of a process, in KiB.
long peakRssKiB(pid_t pid) {
  for (const auto& line : splitLines(readFile("/proc/" + std::to_string(pid) + "/status"))) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class InstallKernelTest : public HostTest {
 protected:
  void TearDown() override {
    SupervisionTest::TearDown();
    for (const pid_t pid : installedKernelPids()) ::kill(pid, SIGKILL);
  }

  std::string installedPath() const { return dataDir(root_) + "/com.zelvo.svc.core"; }
  std::string tempPath() const {
    return root_.at("/private/var/tmp/zelvo-helper-" + std::to_string(::geteuid()) + "/内核-temp");
  }

  // Live processes running the installed kernel.
  std::vector<pid_t> installedKernelPids() const {
    std::vector<pid_t> found;
    const std::string exe = installedPath();
    for (const pid_t pid : allPids()) {
      const std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
      if (cmdline.compare(0, exe.size() + 1, exe + '\0') == 0 && processAlive(pid)) {
        found.push_back(pid);
      }
    }
    return found;
  }

  // The log lines of the current run after the first one containing `needle`.
  std::vector<std::string> linesAfter(std::string_view needle) const {
    const auto lines = daemon_->logLines();
    const size_t at = lineIndex(lines, needle);
    if (at >= lines.size()) return {};
    return {lines.begin() + static_cast<long>(at) + 1, lines.end()};
  }
};

TEST_F(InstallKernelTest, GoodKernelIsInstalledOverTheRunningOneWhichKeepsRunning) {
  root_.removeKernel();  // the daemon's kernel is the installed one only
  startDaemon();
  const auto kernelBytes = fileBytes(ZELVAN_CORE_BIN);
  ASSERT_FALSE(kernelBytes.empty());

  auto first = client_->installKernel(kernelBytes);
  ASSERT_TRUE(first.ok()) << first.error->localizedDescription();
  EXPECT_EQ(*first, (OperationResult{true, std::nullopt}));
  EXPECT_EQ(modeOf(installedPath()), 0755u);
  EXPECT_EQ(fileBytes(installedPath()), kernelBytes);
  EXPECT_FALSE(fs::exists(tempPath()));
  EXPECT_EQ(daemon_->countLog("installKernel called with " + std::to_string(kernelBytes.size()) +
                              " bytes"),
            1u);
  EXPECT_EQ(daemon_->countLog("内核 installed successfully"), 1u);

  startKernel(yamlConfig(freePort()));
  const auto running = installedKernelPids();
  ASSERT_EQ(running.size(), 1u);

  // A different build of the same program: trailing bytes an ELF loader ignores.
  auto newer = kernelBytes;
  newer.resize(newer.size() + 4096, 0x5a);
  auto second = client_->installKernel(newer);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, (OperationResult{true, std::nullopt}));
  EXPECT_EQ(fileBytes(installedPath()), newer);
  EXPECT_EQ(modeOf(installedPath()), 0755u);
  EXPECT_EQ(daemon_->countLog("内核 installed successfully"), 2u);

  EXPECT_TRUE(processAlive(running.front()));
  auto s = status();
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->isRunning);
  EXPECT_EQ(daemon_->countLog("kernel terminated"), 0u);
}

TEST_F(InstallKernelTest, VersionFailureIsInvalidAndRemovesTheTemporaryFile) {
  startDaemon();
  const auto script = bytesOf("#!/bin/sh\n[ \"$1\" = version ] && exit 1\nexit 0\n");
  auto r = client_->installKernel(script);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (OperationResult{false, std::string("Invalid 内核 binary")}));
  EXPECT_FALSE(fs::exists(tempPath()));
  EXPECT_FALSE(fs::exists(installedPath()));
  const std::string call = "installKernel called with " + std::to_string(script.size()) + " bytes";
  EXPECT_EQ(daemon_->countLog(call), 1u);
  EXPECT_EQ(daemon_->countLog("内核 installed"), 0u);
  EXPECT_EQ(daemon_->countLog("Failed to install"), 0u);

  // A crash in the trial run counts the same.
  auto crash = client_->installKernel(bytesOf("#!/bin/sh\nkill -SEGV $$\n"));
  ASSERT_TRUE(crash.ok());
  EXPECT_EQ(*crash, (OperationResult{false, std::string("Invalid 内核 binary")}));
}

TEST_F(InstallKernelTest, BytesThatCannotRunAreAnsweredWithTheLaunchError) {
  startDaemon();
  const std::string enoexec = std::strerror(ENOEXEC);
  size_t failures = 0;  // both uploads fail with the same text
  for (const std::string& content : {std::string("this is not a program\n"), std::string()}) {
    SCOPED_TRACE("upload of " + std::to_string(content.size()) + " bytes");
    auto r = client_->installKernel(bytesOf(content));
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->success);
    ASSERT_TRUE(r->message.has_value());
    EXPECT_NE(r->message->find(enoexec), std::string::npos) << *r->message;
    EXPECT_EQ(daemon_->countLog("Failed to install 内核: " + *r->message), ++failures);
    EXPECT_EQ(
        daemon_->countLog("installKernel called with " + std::to_string(content.size()) + " bytes"),
        1u);
    // Left in place on this path, written and made executable.
    EXPECT_EQ(readFile(tempPath()), content);
    EXPECT_EQ(modeOf(tempPath()), 0755u);
    EXPECT_FALSE(fs::exists(installedPath()));
  }
}

TEST_F(InstallKernelTest, TrialRunThatNeverExitsIsCutOff) {
  startDaemon();
  const auto began = Clock::now();
  auto r = client_->installKernel(bytesOf("#!/bin/sh\nexec sleep 600\n"));
  const double seconds = secondsSince(began);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (OperationResult{false, std::string("内核 version check timed out")}));
  EXPECT_GT(seconds, 9.0);
  EXPECT_LT(seconds, 20.0);
  EXPECT_EQ(daemon_->countLog("Failed to install 内核: 内核 version check timed out"), 1u);
  EXPECT_FALSE(fs::exists(installedPath()));
}

// A 100 MiB upload costs the daemon about one copy of it: the frame arrives in
// segments that are joined into one buffer, and the decoded request adopts
// that buffer as its byte argument. AddressSanitizer's shadow adds an eighth;
// a second copy anywhere on the way would take the growth to 2x or more.
TEST_F(InstallKernelTest, HundredMebibyteUploadKeepsTheDaemonsMemoryBounded) {
  // AddressSanitizer keeps freed blocks in a quarantine (256 MiB by default)
  // that would count here as the daemon's own memory; turn it off so the
  // figure is what the daemon holds.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  startDaemon({{"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=0"}});
  constexpr size_t kUpload = 100u << 20;
  auto bytes = fileBytes(ZELVAN_CORE_BIN);
  ASSERT_LT(bytes.size(), kUpload);
  bytes.resize(kUpload, 0);
  const long before = daemon_->rssKiB();
  ASSERT_GT(before, 0);

  client_->setTimeout(std::chrono::seconds(120));
  auto r = client_->installKernel(std::move(bytes));
  ASSERT_TRUE(r.ok()) << r.error->localizedDescription();
  EXPECT_EQ(*r, (OperationResult{true, std::nullopt}));
  EXPECT_EQ(fs::file_size(installedPath()), kUpload);

  const long peak = peakRssKiB(daemon_->pid());
  const double growth = static_cast<double>(peak - before) / (kUpload / 1024);
  std::cout << "daemon RSS before " << before << " KiB, peak " << peak << " KiB: growth " << growth
            << "x the upload\n";
  RecordProperty("rss_growth_over_upload", std::to_string(growth));
  EXPECT_LT(growth, 1.5);
}

class HelperRemovalTest : public HostTest {
 protected:
  std::string helperPath() const {
    return root_.at("/Library/PrivilegedHelperTools/com.zelvo.svc.helper");
  }
  std::string plistPath() const {
    return root_.at("/Library/LaunchDaemons/com.zelvo.svc.helper.plist");
  }
};

TEST_F(HelperRemovalTest, RemovalStopsClearsUnregistersDeletesRepliesAndExits) {
  setServices(root_, "Wi-Fi\n");
  startDaemon();
  startKernel(yamlConfig(freePort()));
  const pid_t kernel = onlyKernelPid(root_);
  ASSERT_GT(kernel, 0);
  auto set = client_->setSystemProxy("127.0.0.1", 7890, 7890);
  ASSERT_TRUE(set.ok() && *set);
  clearCalls(root_);

  auto r = client_->uninstallHelper();
  const auto repliedAt = Clock::now();
  ASSERT_TRUE(r.ok()) << r.error->localizedDescription();
  EXPECT_TRUE(*r);

  const int status = daemon_->waitExit(std::chrono::seconds(10));
  const double exitDelay = secondsSince(repliedAt);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_GT(exitDelay, 0.3);
  EXPECT_LT(exitDelay, 1.5);

  const auto lines = daemon_->logLines();
  const size_t called = lineIndex(lines, "uninstallHelper called");
  const size_t stopped = lineIndex(lines, "kernel stopped", called);
  const size_t cleared = lineIndex(lines, "system proxy disabled on services: Wi-Fi", called);
  const size_t removed = lineIndex(lines, "Helper files removed", called);
  EXPECT_LT(called, stopped);
  EXPECT_LT(stopped, cleared);
  EXPECT_LT(cleared, removed);
  EXPECT_LT(removed, lines.size());
  EXPECT_EQ(daemon_->countLog("Failed to remove"), 0u);

  // networksetup's "off" commands, then launchctl; nothing else changed.
  std::vector<Args> changes;
  for (const auto& c : standinCalls(root_)) {
    if (c[0] == "launchctl" || (c.size() > 1 && c[1].rfind("-set", 0) == 0)) changes.push_back(c);
  }
  std::vector<Args> expected;
  for (const auto& off : offCommands({"Wi-Fi"})) {
    Args a{"networksetup"};
    a.insert(a.end(), off.begin(), off.end());
    expected.push_back(a);
  }
  expected.push_back({"launchctl", "remove", "com.zelvo.svc.helper"});
  EXPECT_EQ(changes, expected);

  EXPECT_FALSE(processAlive(kernel));
  EXPECT_FALSE(fs::exists(helperPath()));
  EXPECT_FALSE(fs::exists(plistPath()));
  // The kernel executable and the data directory stay.
  EXPECT_TRUE(fs::exists(root_.kernelPath()));
  EXPECT_TRUE(fs::is_directory(dataDir(root_)));
  EXPECT_FALSE(proxyEnabled(root_, "Wi-Fi", "web"));
}

TEST_F(HelperRemovalTest, RemovalWithTheHelperAlreadyGoneRepliesNoAndStillExits) {
  setServices(root_, "Wi-Fi\n");
  fs::remove(helperPath());
  fs::remove(root_.at("/bin/launchctl"));
  startDaemon();
  ASSERT_TRUE(daemon_->waitForLog("启动对账：", std::chrono::seconds(20)));
  clearCalls(root_);

  auto r = client_->uninstallHelper();
  const auto repliedAt = Clock::now();
  ASSERT_TRUE(r.ok()) << r.error->localizedDescription();
  EXPECT_FALSE(*r);
  const int status = daemon_->waitExit(std::chrono::seconds(10));
  const double exitDelay = secondsSince(repliedAt);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_GT(exitDelay, 0.3);
  EXPECT_LT(exitDelay, 1.5);

  EXPECT_EQ(daemon_->countLog("Failed to remove launchd service: "), 1u);
  EXPECT_EQ(daemon_->countLog("Failed to remove helper files: "), 1u);
  EXPECT_EQ(daemon_->countLog("Helper files removed"), 0u);
  EXPECT_TRUE(fs::exists(plistPath()));
  // The proxy is cleared even though this run never set it.
  EXPECT_EQ(settingCalls(root_), offCommands({"Wi-Fi"}));
}

}  // namespace
}  // namespace zelvo::testing::host
