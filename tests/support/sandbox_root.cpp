#include "sandbox_root.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "service/helper_protocol.h"

extern char** environ;

namespace zelvo::testing {

namespace fs = std::filesystem;

namespace {
int runScript(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

SandboxRoot::SandboxRoot() : SandboxRoot(Options{}) {}

SandboxRoot::SandboxRoot(const Options& options) {
  char tmpl[] = "/tmp/zelvo-sbx-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  std::vector<std::string> argv{std::string(ZELVO_SOURCE_DIR) + "/scripts/sandbox", path_};
  if (!options.kernel.empty()) {
    argv.push_back("--kernel");
    argv.push_back(options.kernel);
  }
  if (!options.helper.empty()) {
    argv.push_back("--helper");
    argv.push_back(options.helper);
  }
  if (runScript(argv) != 0) {
    fs::remove_all(path_);
    throw std::runtime_error("scripts/sandbox failed for " + path_);
  }
}

SandboxRoot::~SandboxRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string SandboxRoot::at(std::string_view absolutePath) const {
  return path_ + std::string(absolutePath);
}

std::string SandboxRoot::socketPath() const {
  return at(kHelperSocketPath);
}

std::string SandboxRoot::kernelPath() const {
  return at("/Library/PrivilegedHelperTools/com.zelvo.svc.core");
}

void SandboxRoot::installKernel(const std::string& source) const {
  fs::copy_file(source, kernelPath(), fs::copy_options::overwrite_existing);
  fs::permissions(kernelPath(), fs::perms(0755));
}

void SandboxRoot::removeKernel() const {
  std::error_code ec;
  fs::remove(kernelPath(), ec);
}

std::unique_ptr<HelperClient> SandboxRoot::client() const {
  return std::make_unique<HelperClient>(socketPath());
}

}  // namespace zelvo::testing
