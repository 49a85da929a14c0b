// Runs a program to completion for a test, capturing its standard output and
// standard error separately (through files, so a chatty program never blocks).
#pragma once

#include <string>
#include <vector>

namespace zelvo::testing {

struct CommandResult {
  int exitCode = -1;  // -1 when it did not exit normally (or timed out and was killed)
  bool timedOut = false;
  std::string out;
  std::string err;
  int pid = -1;
};

CommandResult runCommand(const std::vector<std::string>& argv, double timeoutSeconds = 60);

}  // namespace zelvo::testing
