// zelvoctl's command framework. A command is a name, a one-line description,
// a function that declares its arguments on its CLI11 subcommand, and a
// function that runs it against the helper. Each group of commands lives in
// its own file (commands_*.cpp) and is listed in commands.h; main.cpp adds
// every group to the command line.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "client/helper_client.h"

namespace zelvoctl {

// What a running command works with.
class Ctl {
 public:
  Ctl(std::string socketPath, std::ostream& out, std::ostream& err);

  zelvo::HelperClient& client() { return client_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }

  // Prints one line explaining why `what` failed and returns the exit status
  // for it: 2 when the helper cannot be reached or went away, 1 otherwise.
  int fail(const std::string& what, const zelvo::platform::Error& error);

  // Unwraps a result: on failure prints the line and returns false, leaving
  // the exit status in `*status`.
  template <class T>
  bool check(const std::string& what, const zelvo::Result<T>& result, int* status) {
    if (result.ok()) return true;
    *status = fail(what, *result.error);
    return false;
  }

 private:
  zelvo::HelperClient client_;
  std::ostream& out_;
  std::ostream& err_;
};

// The exit status of a command line (or session line) that does not parse, as
// sysexits.h numbers it: apart from 1 (the helper said no) and 2 (no helper).
inline constexpr int kUsageError = 64;

struct Command {
  std::string name;
  std::string description;
  // Declares the command's options and positionals on its subcommand.
  std::function<void(CLI::App& sub)> configure;
  // Runs the command; returns the process exit status.
  std::function<int(Ctl& ctl)> run;
};

}  // namespace zelvoctl
