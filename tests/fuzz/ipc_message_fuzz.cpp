// Fuzzes what a hostile IPC client controls: the byte stream that the
// listener reassembles into frames, decodes as MessagePack and checks against
// the protocol table before anything reaches a handler.
#include <cstddef>
#include <cstdint>

#include "platform/ipc_frame.h"
#include "platform/ipc_interface.h"
#include "service/helper_protocol.h"

using namespace zelvo;

static void checkMessage(const platform::IpcValue& message) {
  if (!message.is_object()) return;
  const auto sel = message.find("sel");
  const auto args = message.find("args");
  if (sel == message.end() || !sel->is_string() || args == message.end()) return;
  const auto* method = HelperProtocol::interface()->method(sel->get<std::string>());
  if (method == nullptr) return;
  platform::IpcInterface::check(method->args, *args);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks how the stream is cut into reads, so reassembly
  // across every split point gets exercised.
  const size_t chunk = 1 + data[0] % 17;
  ++data;
  --size;

  platform::FrameAssembler assembler;
  for (size_t offset = 0; offset < size; offset += chunk) {
    const size_t n = std::min(chunk, size - offset);
    const bool ok = assembler.feed(data + offset, n, [](std::vector<uint8_t>&& body) {
      try {
        checkMessage(platform::decodeBody(body));
      } catch (const std::invalid_argument&) {
      }
    });
    if (!ok) break;
  }

  // The same bytes as one bare body.
  std::vector<uint8_t> body(data, data + size);
  try {
    checkMessage(platform::decodeBody(body));
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
