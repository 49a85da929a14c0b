// Shared pieces of the IPC tests: a small test protocol, a raw framed socket
// client, and a listener fixture in a temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/ipc_client.h"
#include "platform/ipc_frame.h"
#include "platform/ipc_interface.h"
#include "platform/ipc_listener.h"
#include "support/raw_connection.h"

namespace zelvo::platform::test {

using zelvo::testing::rawFrame;
using zelvo::testing::requestFrame;

// echo:  String -> String       hold:  Int -> Int (the test decides when to answer)
// obj:   Object (class "Foo" allowed) -> Bool
// now:   Int -> Int, immediate (may be answered on the listener's I/O thread)
inline std::shared_ptr<const IpcInterface> testInterface() {
  IpcSlot str{IpcType::String, false, {}}, i{IpcType::Int, false, {}}, b{IpcType::Bool, false, {}},
      obj{IpcType::Object, false, {"Foo"}};
  return std::make_shared<IpcInterface>(
      "TestProtocol", std::vector<IpcMethod>{{1, "echo:completion:", {str}, {str}},
                                             {2, "hold:completion:", {i}, {i}},
                                             {3, "obj:completion:", {obj}, {b}},
                                             {4, "now:completion:", {i}, {i}, true}});
}

// A blocking framed client on a raw socket.
using RawClient = zelvo::testing::RawConnection;

// Waits until `pred` holds or `timeout` passes.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A listener on a socket in a fresh temporary directory; each accepted
// connection gets the test interface and `dispatcher`, and is counted when
// it is invalidated.
class ListenerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zelvo-ipc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/helper.sock";
    startListener();
  }

  void TearDown() override {
    listener_.reset();
    // Invalidation handlers run on the connections' queues and capture this
    // fixture: let each queue drain before the fixture goes away.
    std::vector<std::shared_ptr<IpcConnection>> conns;
    {
      std::lock_guard lock(mu_);
      conns = accepted_;
    }
    for (auto& c : conns) {
      auto done = std::make_shared<Semaphore>();
      c->queue().async([done] { done->signal(); });
      done->wait();
    }
    std::filesystem::remove_all(dir_);
  }

  // (Re)starts the listener at path_, with `delegate` in place of the
  // fixture's own when one is given.
  void startListener(IpcListener::Delegate delegate = {}) {
    listener_.reset();
    listener_ = std::make_unique<IpcListener>(path_, "test.ipc");
    if (!delegate) {
      delegate = [this](const std::shared_ptr<IpcConnection>& c) {
        c->setExportedInterface(testInterface());
        c->setExportedObject([this](const IpcMethod& m, IpcValue args, IpcReply reply) {
          dispatcher(m, std::move(args), std::move(reply));
        });
        c->setInvalidationHandler([this] { ++invalidations_; });
        {
          std::lock_guard lock(mu_);
          accepted_.push_back(c);
        }
        c->resume();
        return true;
      };
    }
    listener_->setDelegate(std::move(delegate));
    listener_->resume();
  }

  using Handler = std::function<void(const IpcMethod&, IpcValue, IpcReply)>;
  // Replaces the request handler (echo by default) for connections' later requests.
  void setHandler(Handler h) {
    std::lock_guard lock(mu_);
    handler_ = std::move(h);
  }

  void dispatcher(const IpcMethod& m, IpcValue args, IpcReply reply) {
    Handler h;
    {
      std::lock_guard lock(mu_);
      h = handler_;
    }
    if (h) return h(m, std::move(args), std::move(reply));
    if (m.selector == "obj:completion:") {
      reply(IpcValue::array({true}));
    } else {
      reply(std::move(args));
    }
  }

  size_t invalidationCount() const { return invalidations_.load(); }
  std::shared_ptr<IpcConnection> accepted(size_t i) {
    std::lock_guard lock(mu_);
    return accepted_.at(i);
  }

  std::string dir_, path_;
  std::unique_ptr<IpcListener> listener_;
  std::mutex mu_;
  std::vector<std::shared_ptr<IpcConnection>> accepted_;
  std::atomic<size_t> invalidations_{0};
  Handler handler_;
};

}  // namespace zelvo::platform::test
