// Fuzzes the readers of networksetup's answers: any bytes the tool might
// print must neither crash them nor yield a service name the daemon would
// then pass back to the tool in a broken form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/networksetup_output.h"

using namespace zelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!host::isValidUtf8(text)) return 0;  // the daemon drops such output before parsing
  for (const auto& service : host::parseNetworkServiceList(text)) {
    // A name is one trimmed, enabled line: never empty, never marked
    // disabled, never spanning lines.
    if (service.empty() || service.front() == '*' || service.find('\n') != std::string::npos ||
        service.front() == ' ' || service.front() == '\t' || service.back() == ' ' ||
        service.back() == '\t') {
      std::abort();
    }
  }
  const bool local = host::showsEnabledLocalWebProxy(text);
  if (local && text.find("Enabled: Yes") == std::string_view::npos) std::abort();
  return 0;
}
