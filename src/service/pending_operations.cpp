// Temporary definitions of the Helper operations that are not written yet.
// Each answers its failure value or does nothing, so that the daemon links and
// serves the whole protocol meanwhile. Each block goes away when its
// operation gets its real home.
#include "service/helper.h"

namespace zelvo {

// Proxy start.
void Helper::startProxy(const std::string&, BoolErrorReply completion) {
  completion(false, std::nullopt);
}

// Proxy stop.
void Helper::stopProxy(BoolReply completion) { completion(false); }

// Proxy reload.
void Helper::reloadProxy(const std::string&, BoolErrorReply completion) {
  completion(false, std::nullopt);
}

// Outbound selection.
void Helper::selectOutbound(const std::string&, const std::string&, BoolReply completion) {
  completion(false);
}

// Route mode.
void Helper::setRouteMode(const std::string&, BoolReply completion) { completion(false); }

// TUN mode.
void Helper::updateTun(bool, BoolReply completion) { completion(false); }

// Kernel query passthrough.
void Helper::kernelQuery(const std::string&, const std::string&, OptionalStringReply completion) {
  completion(std::nullopt);
}

// Port parsing.
void Helper::parsePortsFromConfig(const std::string&) {}

}  // namespace zelvo
