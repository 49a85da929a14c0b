// zelvoctl: the command-line client of the zelvo helper.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "client/helper_client.h"
#include "commands.h"

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"zelvoctl: talk to the zelvo helper daemon"};
  app.require_subcommand(1);
  std::string root = "/";
  std::string socket;
  app.add_option("--root", root, "Filesystem root the helper runs under")->capture_default_str();
  app.add_option("--socket", socket, "Path of the helper's socket (overrides --root)");

  auto commands = zelvoctl::allCommands();
  std::vector<CLI::App*> subs;
  for (auto& c : commands) {
    CLI::App* sub = app.add_subcommand(c.name, c.description);
    c.configure(*sub);
    subs.push_back(sub);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a "parse error" that succeeds; every other one is a usage error.
    return app.exit(e) == 0 ? 0 : zelvoctl::kUsageError;
  }

  if (socket.empty()) socket = zelvo::HelperClient::socketPathForRoot(root);
  zelvoctl::Ctl ctl(socket, std::cout, std::cerr);
  for (size_t i = 0; i < commands.size(); ++i) {
    if (subs[i]->parsed()) return commands[i].run(ctl);
  }
  return 1;
}
