// Fuzzes the secure decoding of the status record: any MessagePack value a
// peer sends where a ProxyStatus is expected.
#include <cstddef>
#include <cstdint>

#include "platform/error.h"
#include "platform/ipc_frame.h"
#include "service/proxy_status.h"

using namespace zelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::IpcValue value;
  try {
    value = platform::decodeBody(std::vector<uint8_t>(data, data + size));
  } catch (const std::invalid_argument&) {
    return 0;
  }
  try {
    const ProxyStatus status = ProxyStatus::fromArchive(value);
    // What decodes must encode and decode to the same record.
    if (!(ProxyStatus::fromArchive(status.toArchive()) == status)) __builtin_trap();
  } catch (const platform::Error&) {
  }
  return 0;
}
