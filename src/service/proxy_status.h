// ProxyStatus: the status record sent to the client as a keyed archive.
//
// On the wire it is a MessagePack map {"$class": "ProxyStatus", "isRunning",
// "httpPort", "socksPort", "mode", "uplink", "downlink", "errorMessage"?}.
// Decoding is secure (only allowed classes) and substitutes the default of a
// field whose key is missing. Immutable value type.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/keyed_archive.h"

namespace zelvo {

struct ProxyStatus {
  static constexpr const char* kClassName = "ProxyStatus";

  bool isRunning = false;
  int64_t httpPort = 0;
  int64_t socksPort = 0;
  std::string mode;
  int64_t uplink = 0;
  int64_t downlink = 0;
  std::optional<std::string> errorMessage;

  static ProxyStatus stoppedRecord() { return {}; }

  // The keyed archive of this record, keys in field order.
  platform::IpcValue toArchive() const;
  // Decodes an archive securely: throws platform::Error (NSCocoaErrorDomain,
  // NSCoderReadCorruptError) when it is not an archive of class ProxyStatus
  // or a field holds a value of the wrong type. Missing keys take the
  // defaults of the fields.
  static ProxyStatus fromArchive(const platform::IpcValue& archive);
  bool operator==(const ProxyStatus&) const = default;
};

}  // namespace zelvo
