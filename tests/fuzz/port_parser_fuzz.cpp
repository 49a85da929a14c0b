// Fuzzes the port parsing of client configurations: arbitrary text, YAML or
// JSON, must never crash or hang the handler that reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/log.h"
#include "service/helper.h"

using namespace zelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto helper = [] {
    platform::setLogToStderr(false);
    return std::make_shared<Helper>(std::make_shared<KernelProcessManager>());
  }();
  helper->parsePortsFromConfig(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
