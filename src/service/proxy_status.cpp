#include "service/proxy_status.h"

namespace zelvo {

platform::IpcValue ProxyStatus::toArchive() const {
  platform::KeyedArchiver coder(kClassName);
  coder.encodeBool("isRunning", isRunning);
  coder.encodeInteger("httpPort", httpPort);
  coder.encodeInteger("socksPort", socksPort);
  coder.encodeObject("mode", mode);
  coder.encodeInt64("uplink", uplink);
  coder.encodeInt64("downlink", downlink);
  coder.encodeObject("errorMessage", errorMessage);
  return coder.take();
}

ProxyStatus ProxyStatus::fromArchive(const platform::IpcValue& archive) {
  platform::KeyedUnarchiver coder(archive, {kClassName});
  ProxyStatus s;
  s.isRunning = coder.decodeBool("isRunning");
  s.httpPort = coder.decodeInteger("httpPort");
  s.socksPort = coder.decodeInteger("socksPort");
  s.mode = coder.decodeString("mode").value_or("");
  s.uplink = coder.decodeInt64("uplink");
  s.downlink = coder.decodeInt64("downlink");
  s.errorMessage = coder.decodeString("errorMessage");
  return s;
}

}  // namespace zelvo
