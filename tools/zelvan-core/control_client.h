// The kernel's side of the control socket: connects to the daemon's listening
// socket (retrying until it is there), reads request frames and hands each to
// the handler, and when the connection drops connects again to the same path
// by itself. Nothing of the kernel's state is tied to a connection. run() is
// called once, on the main thread, and does not return.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "control_connection.h"
#include "options.h"

namespace zelvan {

using RequestHandler =
    std::function<void(const nlohmann::json& request, const std::shared_ptr<ControlConnection>&)>;

class ControlClient {
 public:
  ControlClient(std::string path, const Options& options, RequestHandler handler)
      : path_(std::move(path)), options_(options), handler_(std::move(handler)) {}

  [[noreturn]] void run();

 private:
  UniqueFd connectWithRetry();
  void serve(const std::shared_ptr<ControlConnection>& conn);

  const std::string path_;
  const Options& options_;
  RequestHandler handler_;
};

// Blocks the calling thread for good (the kernel keeps serving its listener).
[[noreturn]] void parkForever();

}  // namespace zelvan
