// A test protocol, a raw framed client, and a listener fixture.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <optional>

#include "platform/dispatch.h"
#include "platform/ipc_client.h"
#include "platform/ipc_listener.h"
#include "unit/unit_support.h"

namespace zelvo::platform::test {

using namespace std::chrono_literals;
using unit::eventually;

// echo: String -> String; hold: Int -> Int; obj: Object ("Foo") -> Bool;
// now: Int -> Int, immediate (may be answered on the listener's I/O thread).
inline std::shared_ptr<const IpcInterface> testInterface() {
  IpcSlot s{IpcType::String, false, {}}, i{IpcType::Int, false, {}}, b{IpcType::Bool, false, {}},
      obj{IpcType::Object, false, {"Foo"}};
  return std::make_shared<IpcInterface>(
      "TestProtocol", std::vector<IpcMethod>{{1, "echo:completion:", {s}, {s}},
                                             {2, "hold:completion:", {i}, {i}},
                                             {3, "obj:completion:", {obj}, {b}},
                                             {4, "now:completion:", {i}, {i}, true}});
}

inline int listeningAt(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{AF_UNIX, {}};
  path.copy(a.sun_path, sizeof a.sun_path - 1);
  EXPECT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0);
  return fd;
}

// A blocking client on a raw socket, framing with the library's own encoder.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un a{AF_UNIX, {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~RawClient() { ::close(fd_); }
  int fd() const { return fd_; }
  void sendBytes(const std::vector<uint8_t>& b) { writeAll(fd_, b.data(), b.size()); }
  void request(IpcValue seq, const std::string& sel, IpcValue args) {
    sendBytes(encodeFrame({{"seq", std::move(seq)}, {"sel", sel}, {"args", std::move(args)}}));
  }
  std::optional<IpcValue> next(std::chrono::milliseconds timeout = 10s) {
    pollfd p{fd_, POLLIN, 0};
    int err = 0;
    if (::poll(&p, 1, int(timeout.count())) <= 0) return std::nullopt;
    auto body = readFrame(fd_, &err);
    return body ? std::optional(decodeBody(*body)) : std::nullopt;
  }

 private:
  int fd_;
};

// A listener in a temporary directory that counts its connections' invalidations.
class IpcListenerTest : public ::testing::Test {
 protected:
  // Starts listening; requests are answered by `h`, or echoed (true for obj).
  // `restricted` tells which peers are restricted.
  void start(IpcDispatcher h = {}, IpcListener::Restrictor restricted = {}) {
    if (!h) {
      h = [](const IpcMethod& m, IpcValue args, IpcReply reply) {
        reply(m.selector == "obj:completion:" ? IpcValue::array({true}) : args);
      };
    }
    listener_ = std::make_unique<IpcListener>(path_, "test.ipc");
    if (restricted) listener_->setRestrictor(std::move(restricted), 64u << 10);
    listener_->setDelegate([h, n = invalidations_](const std::shared_ptr<IpcConnection>& c) {
      c->setExportedInterface(testInterface());
      c->setExportedObject(h);
      c->setInvalidationHandler([n] { ++*n; });
      c->resume();
      return true;
    });
    listener_->resume();
  }
  void TearDown() override { listener_.reset(); }
  size_t invalidationCount() const { return *invalidations_; }

  unit::TempDir dir_;
  std::string path_ = dir_.path + "/helper.sock";
  std::shared_ptr<std::atomic<size_t>> invalidations_ = std::make_shared<std::atomic<size_t>>(0);
  std::unique_ptr<IpcListener> listener_;
};

}  // namespace zelvo::platform::test
