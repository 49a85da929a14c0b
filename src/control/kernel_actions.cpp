// The kernel actions: one request and one reply each, with the action's own
// payload, time-out and test of success. Selections and the mode are recorded
// only when the kernel accepted them, so that a restarted kernel is replayed
// into the last state a kernel actually had.
#include <exception>
#include <memory>
#include <vector>

#include "control/json_text.h"
#include "kernel/kernel_process_manager.h"
#include "platform/log.h"

namespace zelvo {

namespace {

constexpr double kActionTimeout = 5.0;
constexpr double kCloseConnectionsTimeout = 3.0;
constexpr double kTrafficTimeout = 2.0;

bool isNonZeroInteger(const Json& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>() != 0;
  if (v.is_number_integer()) return v.get<int64_t>() != 0;
  return false;
}

// The action test. The kernel reports some refusals only as an error text in
// "data" with code 0, so a non-empty text counts as failure whatever the code.
bool actionSucceeded(const std::optional<Json>& reply, const char* errorPrefix) {
  if (!reply) return false;
  if (!reply->is_object()) return true;
  const auto code = reply->find("code");
  if (code != reply->end() && isNonZeroInteger(*code)) return false;
  const auto data = reply->find("data");
  if (data != reply->end() && data->is_string() && !data->get_ref<const std::string&>().empty()) {
    KernelProcessManager::log(errorPrefix + platform::forLog(data->get_ref<const std::string&>()));
    return false;
  }
  return true;
}

// The code test: only an explicit integer code of 0 is success.
bool codeIsZero(const std::optional<Json>& reply) {
  if (!reply || !reply->is_object()) return false;
  const auto code = reply->find("code");
  return code != reply->end() && code->is_number_integer() && !isNonZeroInteger(*code);
}

}  // namespace

bool KernelProcessManager::changeProxy(const std::string& group, const std::string& proxy) {
  const std::string payload =
      control::jsonTextPayload(Json{{"group-name", group}, {"proxy-name", proxy}});
  if (!actionSucceeded(sendActionAwait("changeProxy", payload, kActionTimeout),
                       "changeProxy err: ")) {
    return false;
  }
  std::lock_guard<std::mutex> g(fieldsLock_);
  lastSelections_[group] = proxy;
  return true;
}

bool KernelProcessManager::closeConnections() {
  return codeIsZero(sendActionAwait("closeConnections", "", kCloseConnectionsTimeout));
}

bool KernelProcessManager::updateConfig(const std::string& payload) {
  return actionSucceeded(sendActionAwait("updateConfig", payload, kActionTimeout),
                         "updateConfig err: ");
}

bool KernelProcessManager::setMode(const std::string& mode) {
  if (!updateConfig(control::jsonTextPayload(Json{{"mode", mode}}))) return false;
  std::lock_guard<std::mutex> g(fieldsLock_);
  lastMode_ = mode;
  return true;
}

bool KernelProcessManager::setTun(bool enable) {
  // Every member but "enable" is fixed: the kernel must not keep a device,
  // stack or route set from elsewhere when the client only flips TUN.
  const Json tun{{"enable", enable},   {"device", ""},
                 {"stack", "gvisor"},  {"dns-hijack", Json::array({"any:53"})},
                 {"auto-route", true}, {"route-address", Json::array()}};
  return updateConfig(control::jsonTextPayload(Json{{"tun", tun}}));
}

namespace {

// The (up, down) pair of a traffic reply; 0 for what is missing or malformed.
std::pair<int64_t, int64_t> countersIn(const std::optional<Json>& reply) {
  if (!reply || !reply->is_object()) return {0, 0};
  const auto data = reply->find("data");
  if (data == reply->end() || !data->is_string()) return {0, 0};
  const Json counters =
      Json::parse(data->get_ref<const std::string&>(), nullptr, /*allow_exceptions=*/false);
  if (!counters.is_object()) return {0, 0};
  auto counter = [&counters](const char* key) -> int64_t {
    const auto v = counters.find(key);
    return v == counters.end() ? 0 : control::truncatedInt64(*v).value_or(0);
  };
  return {counter("up"), counter("down")};
}

}  // namespace

void KernelProcessManager::trafficCallThen(const std::string& method, CountersThen then) {
  if (!platform::RestrictedPeerLines::active()) {
    sendActionThen(
        method, false, kTrafficTimeout,
        [then = std::move(then)](const std::optional<Json>& reply) { then(countersIn(reply)); });
    return;
  }
  std::unique_lock<std::mutex> lock(observerRoundsLock_);
  observerRounds_[method].waiting.push_back(std::move(then));
  observerRound(method, lock);
}

// Any local user may ask for the counters, as often as it likes, and each
// request costs the kernel time and a line in its log that owners' requests
// then wait behind. So observers are answered in rounds: one request of a
// method out at a time, rounds at least kObserverRound apart, every asker
// answered by a round sent after it asked. An occasional asker waits for
// nothing.
void KernelProcessManager::observerRound(const std::string& method,
                                         std::unique_lock<std::mutex>& lock) {
  ObserverRound& round = observerRounds_[method];
  if (round.out || round.due || round.waiting.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < round.sent + kObserverRound) {
    round.due = true;
    platform::globalQueue(platform::QoS::Utility)
        .after(std::chrono::duration<double>(round.sent + kObserverRound - now),
               [weakSelf = weak_from_this(), method] {
                 if (auto self = weakSelf.lock()) {
                   self->observerRoundOver(method, &ObserverRound::due);
                 }
               });
    return;
  }
  round.out = true;
  round.sent = now;
  auto askers = std::make_shared<std::vector<CountersThen>>(std::move(round.waiting));
  round.waiting.clear();
  lock.unlock();  // the answer may come at once, on this thread
  const platform::RestrictedPeerLines lines(true);
  sendActionThen(method, false, kTrafficTimeout,
                 [weakSelf = weak_from_this(), method, askers](const std::optional<Json>& reply) {
                   if (auto self = weakSelf.lock()) {
                     self->observerRoundOver(method, &ObserverRound::out);
                   }
                   const auto counters = countersIn(reply);
                   for (auto& then : *askers) {
                     try {  // one asker's failure leaves the others answered
                       then(counters);
                     } catch (const std::exception& e) {
                       log("← " + method + ": " + e.what());
                     }
                   }
                 });
}

// The wait a round was in (`out` for its answer, `due` for its time) is
// over: the next one goes when it may.
void KernelProcessManager::observerRoundOver(const std::string& method,
                                             bool ObserverRound::*waitingFor) {
  std::unique_lock<std::mutex> lock(observerRoundsLock_);
  observerRounds_[method].*waitingFor = false;
  observerRound(method, lock);
}

std::optional<std::string> KernelProcessManager::query(const std::string& method,
                                                       const std::string& data,
                                                       double timeoutSeconds) {
  if (!state().isRunning()) return std::nullopt;
  const std::optional<Json> reply = sendActionAwait(method, data, timeoutSeconds);
  if (!reply || !reply->is_object()) return std::nullopt;
  const auto answer = reply->find("data");
  if (answer == reply->end()) return std::nullopt;
  if (answer->is_string()) return answer->get<std::string>();
  if (answer->is_object() || answer->is_array()) return control::compactJson(*answer);
  return std::nullopt;
}

}  // namespace zelvo
