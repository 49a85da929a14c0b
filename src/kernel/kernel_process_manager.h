// KernelProcessManager: the one owner of the external kernel program.
//
// It holds the kernel's files and paths, its process and lifecycle state, the
// configuration text (in memory only, never on disk), the control socket and
// its request correlation, the recorded mode and selections that are replayed
// after an automatic restart, the delay results the kernel pushes, and the
// timers of re-adoption. The daemon uses one instance, shared(); tests make
// their own with std::make_shared.
//
// Its methods are implemented across files named for their concern:
//   kernel/kernel_files.cpp         binaryPath, installBinary, dataPath, homeDir, wipeConfig
//   kernel/lifecycle.cpp            start, launchKernel, stop, reload, currentKernelPid, ...
//   kernel/auto_restart.cpp         attemptAutoRestart, restartFromExistingConfig, replay
//   kernel/readoption.cpp           reAdoptRunningKernel, acceptAndResumeControl, liveness
//   control/control_socket.cpp      setupControlSocket, closeControlSocket, posixError
//   control/frame.cpp               writeFrame, recvFrame
//   control/correlation.cpp         sendActionAwait, startReaderLoop, collectPushedDelay
//   control/drive_sequence.cpp      acceptAndDrive, sendSetupConfig
//   control/kernel_actions.cpp      changeProxy, closeConnections, updateConfig, setMode, ...
//
// Thread-safety: every public method may be called from any thread. The
// control channel uses five locks (writeLock, combineLock_, pendingLock,
// pushedDelaysLock, observerRoundsLock_), never two at once except
// combineLock_ under writeLock, and never across a wait; continuations of
// sendActionThen run with none held. The lifecycle operations (start, stop,
// reload, launch, termination handling, restart, re-adoption) are mutually
// exclusive through lifecycleLock_, which is never held while status readers
// or the reader loop need anything: the fields they read are guarded by the
// small fieldsLock_ and read through snapshot accessors.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/process_probe.h"
#include "platform/subprocess.h"

namespace zelvo {

namespace control {
class FrameReader;
}

using Json = nlohmann::json;

// The kernel's lifecycle state.
struct KernelProcessState {
  enum class Kind { Error, Stopped, Starting, Running, Stopping };
  Kind kind = Kind::Stopped;
  std::string reason;  // only for Kind::Error

  static KernelProcessState error(std::string why) { return {Kind::Error, std::move(why)}; }
  static KernelProcessState stopped() { return {Kind::Stopped, {}}; }
  static KernelProcessState starting() { return {Kind::Starting, {}}; }
  static KernelProcessState running() { return {Kind::Running, {}}; }
  static KernelProcessState stopping() { return {Kind::Stopping, {}}; }

  bool isRunning() const { return kind == Kind::Running; }
  bool operator==(const KernelProcessState&) const = default;
  // "stopped", "starting", "running", "stopping" or "error(<reason>)".
  std::string describe() const;
};

class KernelProcessManager : public std::enable_shared_from_this<KernelProcessManager> {
 public:
  // What a request sent with sendActionThen runs once it is finished: with the
  // reply body, or with nothing (no connection, a failed write, the time-out,
  // the connection's end).
  using Continuation = std::function<void(std::optional<Json>)>;

  // One waiting request of the control channel: a caller blocked on `sem`, or
  // a `then` to run, with the method and deadline its time-out needs.
  class Pending {
   public:
    platform::Semaphore sem{0};
    std::optional<Json> obj;            // the reply body, set by the reader before it signals
    std::atomic<bool> answered{false};  // set with obj, for a caller that watches
    Continuation then;
    std::string method;
    std::chrono::steady_clock::time_point deadline;
    bool timedOut = false;  // set with obj
    // Sent for a restricted peer: its lines, wherever they are logged, and
    // its continuation stay under that peer's log budget.
    bool restricted = false;
    // Set by the sender once it logged the request and by whoever finished
    // it: the second of the two runs `then`.
    std::atomic<bool> met{false};
  };

  static constexpr const char* kErrorDomain = "KernelProcessManager";
  static constexpr const char* binaryName = "com.zelvo.svc.core";
  static constexpr const char* kDataDirectory = "/Library/Application Support/com.zelvo.svc";
  static constexpr const char* kPreinstalledDirectory = "/Library/PrivilegedHelperTools";
  static constexpr const char* kWorkDirectoryName = "work";
  static constexpr int maxRestartAttempts = 3;
  // A socket address holds 104 bytes on the platform the daemon was designed
  // for; the same limit here keeps behaviour identical on both.
  static constexpr size_t kMaxSocketPathBytes = 103;
  static constexpr int protocolVersion = 30;
  static constexpr const char* kConnectivityCheckURL = "https://connect.zelvo.net/generate_204";

  // The daemon's instance, created on first use and never destroyed.
  static std::shared_ptr<KernelProcessManager> shared();

  KernelProcessManager();
  ~KernelProcessManager();
  KernelProcessManager(const KernelProcessManager&) = delete;
  KernelProcessManager& operator=(const KernelProcessManager&) = delete;

  // ---- Files and paths ----
  // Path of the kernel executable to launch; logs "Found kernel at: <p>" when
  // a file is found. Evaluated afresh on every call.
  std::string binaryPath();
  // The same, and whether it found a file there: a caller that only asks
  // whether the kernel is installed needs no second look at the disk.
  std::string binaryPath(bool& found);
  // Copies `source` to the data directory as the kernel, mode 0755. Throws
  // the file system's Error.
  void installBinary(const std::string& source);
  const std::string& dataPath();  // created on first use, cached
  const std::string& homeDir();   // the work directory, created 0700 on first use, cached
  void wipeConfig();
  void removeConfigFile();  // "config.yaml" in the work directory, never to exist
  // Makes the data and work directories the daemon's own (owned by its
  // effective uid; the work directory 0700, the data directory writable by
  // nobody else), repairing what it can. Throws an Error naming what cannot
  // be repaired (a link, a non-directory, a failed chown or chmod).
  void secureDirectories();

  // ---- Lifecycle ----
  KernelProcessState state() const;
  std::shared_ptr<platform::Subprocess> process() const;
  void start(const std::string& config);  // throws platform::Error
  void launchKernel();                    // throws platform::Error
  void stop();                            // never throws in practice
  pid_t currentKernelPid();
  void reload(const std::string& config);  // throws platform::Error
  void killStaleKernel();
  // The arguments that make pgrep/pkill select this root's kernels of our user.
  std::vector<std::string> kernelMatchArguments();
  // Reaction to the exit of the launched kernel whose launch generation is
  // `generation`; a notice of an older kernel changes nothing.
  void handleTermination(int exitCode, uint64_t generation);
  void cleanup();

  // Holds every lifecycle operation off while the returned lock lives. The
  // entry routine keeps it from before it starts listening until launch
  // reconciliation has finished, so that a start arriving meanwhile can
  // neither launch a kernel that reconciliation then kills as a leftover nor
  // have its configuration wiped.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> holdLifecycle() {
    return std::unique_lock<std::recursive_mutex>(lifecycleLock_);
  }

  // ---- Auto-restart ----
  void attemptAutoRestart(const std::string& reason);
  void restartFromExistingConfig();

  // ---- Re-adoption ----
  bool reAdoptRunningKernel();
  void acceptAndResumeControl();
  void startAdoptedLivenessMonitor();

  // ---- Control socket and frames ----
  void setupControlSocket(const std::string& path);  // throws platform::Error
  void closeControlSocket();
  static platform::Error posixError(const std::string& call);
  // Sends one request frame within `timeoutSeconds`, the wait for another
  // writer included (0: only if it can go at once, without waiting for
  // another writer either, and only a frame small enough to go whole); one
  // the kernel would refuse for its size is not sent. A small frame that
  // comes while a waiting writer is at work is handed to that writer, which
  // sends it after its own with the others that came meanwhile, in one
  // write: under concurrent callers that spares a sleep on the lock and a
  // system call per frame. True when the frame went
  // whole or was handed over; a handed frame that then fails has its request
  // ended at once, with nothing. False when it did not go; a frame cut short
  // ends the connection.
  bool writeFrame(const std::string& id, const std::string& method, const Json& data,
                  double timeoutSeconds);
  // writeFrame in two steps: the whole frame (nullopt, logged, when the kernel
  // would refuse it), then its writing; without `mayHand` it is never handed.
  std::optional<std::string> encodeFrame(const std::string& id, const std::string& method,
                                         const Json& data);
  bool writeEncoded(const std::string& id, const std::string& frame, double timeoutSeconds,
                    bool mayHand = true);
  // writeFrame's sending, by the writer: `frame` (if any), then what was
  // handed to it, for a few rounds before a worker takes over.
  bool writeAsWriter(const std::string& frame, double timeoutSeconds);
  std::optional<Json> recvFrame();

  // ---- Request correlation ----
  std::optional<Json> sendActionAwait(const std::string& method, const Json& data,
                                      double timeoutSeconds);
  // The same request without a thread waiting for it: `then` runs once, on
  // whoever finishes the request (the reader with the reply, the time-out
  // sweep, the reader's end), and only after "→ <method>" is logged, so it
  // must not block. The frame is written at once or handed to the writer at
  // work when it can be, which is nearly always, and otherwise by a utility
  // worker: the caller never waits.
  void sendActionThen(const std::string& method, const Json& data, double timeoutSeconds,
                      Continuation then);
  void startReaderLoop();
  // A caller's turn to read the connection, if nobody else reads it: true
  // when taken, and then given back with giveReadingBack().
  bool takeReading();
  void giveReadingBack();
  // Reads the connection in the caller's turn until `pending` is answered,
  // the deadline passes or the connection ends.
  void readForReply(const Pending& pending, std::chrono::steady_clock::time_point deadline);
  // By whoever may read: reads what has arrived and delivers every whole
  // frame; false once the connection has ended for its readers. A leading
  // caller leaves continuations to a worker: it may hold locks they take.
  bool deliverArrived(bool fromCaller);
  void deliver(Json frame, bool fromCaller);
  void sweepOverdue(std::chrono::steady_clock::time_point due);
  void scheduleSweep(std::chrono::steady_clock::time_point due);  // under pendingLock
  void sentThen(const std::string& id, Pending& pending, bool written);
  void finishThen(Pending& pending, std::optional<Json> reply, bool timedOut);
  void runThen(Pending& pending);
  // Ends the request with nothing, as when the connection is lost.
  void release(Pending& pending);
  static void logFailure(const std::string& method, const Json& reply);
  void collectPushedDelay(const Json& frame);

  // ---- Drive sequence ----
  // `generation` names the launch being driven (0: none in particular).
  void acceptAndDrive(uint64_t generation = 0);
  void sendSetupConfig();
  // Why `config` cannot reach the kernel (its setupConfig frame would exceed
  // the largest frame the kernel reads), or nothing when it fits.
  std::optional<std::string> configTooLarge(const std::string& config);

  // ---- Kernel actions ----
  bool changeProxy(const std::string& group, const std::string& proxy);
  bool closeConnections();
  bool updateConfig(const std::string& payload);
  bool setMode(const std::string& mode);
  bool setTun(bool enable);
  // A traffic method's (up, down) pair, handed to `then` as sendActionThen
  // does: 0 for what the reply lacks, both 0 without a reply. Asked for a
  // restricted peer, it is answered in rounds (see observerRound).
  using CountersThen = std::function<void(std::pair<int64_t, int64_t>)>;
  void trafficCallThen(const std::string& method, CountersThen then);
  std::optional<std::string> query(const std::string& method, const std::string& data,
                                   double timeoutSeconds);

  // ---- Snapshots for status, tests and the service ----
  int controlFd() const { return controlFd_.load(); }
  int listenFd() const { return listenFd_.load(); }
  bool desiredRunning() const { return desiredRunning_.load(); }
  int restartAttempts() const { return restartAttempts_.load(); }
  std::optional<std::string> lastMode() const;
  std::map<std::string, std::string> lastSelections() const;
  std::string currentConfigYAML() const;
  std::map<std::string, int64_t> pushedDelays() const;  // copy under pushedDelaysLock
  pid_t adoptedPid() const { return adoptedPid_.load(); }
  bool adopting() const { return adopting_.load(); }
  int64_t msgId() const;

  // Test hooks: set the control connection directly (a socketpair end).
  void setControlFdForTesting(int fd) { controlFd_.store(fd); }
  void setListenFdForTesting(int fd) { listenFd_.store(fd); }
  void setStateForTesting(KernelProcessState s) { setState(std::move(s)); }
  // The process that may connect to a control socket set up by hand.
  void setKernelPeerPidForTesting(pid_t pid) { kernelPeerPid_.store(pid); }
  void setCurrentConfigForTesting(std::string config) {
    std::lock_guard<std::mutex> g(fieldsLock_);
    currentConfigYAML_ = std::move(config);
  }

  // Writes "[Kernel] <timestamp>: <message>" to the system log.
  static void log(const std::string& message);

 private:
  void setState(KernelProcessState s);
  void setProcess(std::shared_ptr<platform::Subprocess> p);
  void cancelAdoptLivenessTimer();
  void checkAdoptedLiveness(const platform::ProcessHandle& process);
  void replayRuntimeState(uint64_t generation);
  std::weak_ptr<KernelProcessManager> weak() { return weak_from_this(); }

  // Control channel internals (control/*.cpp).
  static std::optional<Json> readFrame(int fd);
  int duplicateDescriptor(const std::atomic<int>& field);
  // Blocks in accept on a private duplicate of the listener (closing the
  // listener meanwhile wakes it) until the kernel connects: a peer that is
  // not kernelPeerPid_ of our effective uid is logged (once while it keeps
  // coming back), closed and waited past. Returns the connection or -1, and
  // the listener's identity for publishAccepted().
  int acceptControlConnection(uint64_t* listenerIdentity);
  bool isKernelPeer(int fd, pid_t& lastRefused);
  // Identifies a socket independently of its descriptor number: numbers are
  // reused at once, socket inodes are not while the socket is open.
  static uint64_t socketIdentity(int fd);
  // Makes `fd`, accepted on the listening socket `listener` (its identity),
  // the control connection if that listener is still the supervised one;
  // a connection it displaces is closed. False: nothing was published.
  bool publishAccepted(uint64_t listener, int fd);
  void readerLoop(int fd);

  // Lifecycle serialisation (see the header comment). Recursive because the
  // lifecycle operations call each other (start -> launchKernel -> cleanup).
  mutable std::recursive_mutex lifecycleLock_;
  // Guards the small fields below that other threads read as snapshots.
  mutable std::mutex fieldsLock_;

  KernelProcessState state_;                       // fieldsLock_
  std::shared_ptr<platform::Subprocess> process_;  // fieldsLock_
  uint64_t processGeneration_ = 0;                 // fieldsLock_
  std::atomic<int> controlFd_{-1};
  std::atomic<int> listenFd_{-1};
  // The only process allowed to hold the control connection: the launched
  // kernel, or the one found for re-adoption; 0 while there is no listener.
  std::atomic<pid_t> kernelPeerPid_{0};
  std::atomic<bool> desiredRunning_{false};
  std::atomic<int> restartAttempts_{0};
  std::optional<std::string> lastMode_;                // fieldsLock_
  std::map<std::string, std::string> lastSelections_;  // fieldsLock_
  std::string currentConfigYAML_;                      // fieldsLock_

  // Control channel.
  // msgId_, pending_, readerStarted_, readerSocket_, readerRestartWanted_,
  // sweepDue_, readFd_, readWatch_, readEnded_, readFrames_, reading_
  mutable std::mutex pendingLock;
  std::mutex writeLock;  // one whole outgoing frame; closing and duplicating the descriptors
  int64_t msgId_ = 0;
  std::map<std::string, std::shared_ptr<Pending>> pending_;
  // Frames handed to the waiting writer at work (see writeFrame), their ids,
  // and the longest time-out among them; writerBusy_ while one is at work.
  std::mutex combineLock_;
  std::condition_variable writerDone_;
  std::string handed_;                  // combineLock_
  std::vector<std::string> handedIds_;  // combineLock_
  double handedTimeout_ = 0;            // combineLock_
  bool writerBusy_ = false;             // combineLock_
  bool readerStarted_ = false;
  uint64_t readerSocket_ = 0;         // identity of the socket the reader serves
  bool readerRestartWanted_ = false;  // a newer connection waits for its reader
  // The reader's descriptor, the epoll set it sleeps on and its frames, while
  // a caller may take the reading over (-1, null otherwise); `reading_` while
  // the reader or a caller reads. Only that one touches readFrames_.
  int readFd_ = -1;
  int readWatch_ = -1;
  int readEnded_ = -1;  // an eventfd in the set: a caller found the connection ended
  control::FrameReader* readFrames_ = nullptr;
  bool reading_ = false;
  // When the one scheduled look for sendActionThen requests past their
  // deadline runs; max() while none is scheduled.
  std::chrono::steady_clock::time_point sweepDue_ = std::chrono::steady_clock::time_point::max();
  // Where sendActionThen's frames that could not go at once are written.
  const std::shared_ptr<platform::Queue> lateFrames_ = platform::makeSerialQueue(
      "kernel.late-frames", &platform::globalQueue(platform::QoS::Utility));

  // Files.
  std::once_flag dataPathOnce_, homeDirOnce_;
  std::string dataPath_, homeDir_;

  // Re-adoption.
  std::atomic<pid_t> adoptedPid_{0};
  std::shared_ptr<platform::RepeatingTimer> adoptLivenessTimer_;  // fieldsLock_
  std::atomic<bool> adopting_{false};

  // Pushed delay results.
  mutable std::mutex pushedDelaysLock;
  std::map<std::string, int64_t> pushedDelays_;

  // Observers' traffic requests, by method: those waiting for the next
  // round, whether a round is out or due, and when the last one went.
  struct ObserverRound {
    std::vector<CountersThen> waiting;
    bool out = false, due = false;
    std::chrono::steady_clock::time_point sent;
  };
  static constexpr std::chrono::milliseconds kObserverRound{250};  // at most this often
  void observerRound(const std::string& method, std::unique_lock<std::mutex>& lock);
  void observerRoundOver(const std::string& method, bool ObserverRound::*waitingFor);
  std::mutex observerRoundsLock_;
  std::map<std::string, ObserverRound> observerRounds_;
};

}  // namespace zelvo
