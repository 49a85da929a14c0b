// Read-only commands about the helper itself.
#include <ostream>

#include "commands.h"

namespace zelvoctl {

std::vector<Command> infoCommands() {
  return {
      {"version", "Print the helper's version (with the kernel's name when one is installed)",
       [](CLI::App&) {},
       [](Ctl& ctl) {
         int status = 0;
         auto r = ctl.client().getVersion();
         if (!ctl.check("getVersion", r, &status)) return status;
         ctl.out() << *r << "\n";
         return 0;
       }},
      {"kernel-version", "Print the installed kernel's name, or (none)", [](CLI::App&) {},
       [](Ctl& ctl) {
         int status = 0;
         auto r = ctl.client().getKernelVersion();
         if (!ctl.check("getKernelVersion", r, &status)) return status;
         ctl.out() << r->value_or("(none)") << "\n";
         return 0;
       }},
  };
}

}  // namespace zelvoctl
