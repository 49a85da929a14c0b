// IPC interface: the description of a remote protocol (the NSXPCInterface
// stand-in). It lists each operation's selector, the types of its request
// arguments and of its reply arguments, and which archived classes each
// object position admits. Both ends check every message against it: the
// listener refuses a request that does not match (and drops the connection),
// the client refuses a reply that does not match.
//
// Wire types: String -> str, Int -> any integer that fits int64, Bool -> bool,
// Data -> bin, Object -> an archived object, a str ("NSString") or a bin
// ("NSData"). An optional position also admits nil. Data and Object positions
// admit only the classes allowed there; none are allowed until setClasses().
//
// Build an interface on one thread, then share it read-only (as a pointer to
// const) with any number of threads.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc_frame.h"

namespace zelvo::platform {

enum class IpcType { String, Int, Bool, Data, Object };

struct IpcSlot {
  IpcType type;
  bool optional = false;
  std::set<std::string> classes;  // Data and Object positions only
};

struct IpcMethod {
  int slot = 0;  // the operation's number in its protocol (1-based)
  std::string selector;
  std::vector<IpcSlot> args;
  std::vector<IpcSlot> reply;
  // The handler answers at once from memory or hands its work to another
  // queue, and never waits where runningInPlaceOf() is set (it moves what
  // would wait to that queue), so a request may be served on the listener's
  // I/O thread when its connection's queue is idle, sparing a thread
  // hand-off.
  bool immediate = false;
};

class IpcInterface {
 public:
  IpcInterface(std::string protocolName, std::vector<IpcMethod> methods);

  const std::string& protocolName() const { return name_; }
  const std::vector<IpcMethod>& methods() const { return methods_; }
  // The operation with `selector`, or nullptr.
  const IpcMethod* method(std::string_view selector) const;

  // Admits `classes` at argument `index` of the request (ofReply false) or of
  // the reply (ofReply true) of `selector`. Throws std::invalid_argument for
  // an unknown selector, an index out of range, or a position that is not of
  // type Data or Object.
  void setClasses(std::set<std::string> classes, std::string_view selector, size_t index,
                  bool ofReply);

  // Checks `values` (an array) against `slots`. Returns why they do not
  // match, or nullopt when they do.
  static std::optional<std::string> check(const std::vector<IpcSlot>& slots,
                                          const IpcValue& values);

 private:
  std::string name_;
  std::vector<IpcMethod> methods_;
};

}  // namespace zelvo::platform
