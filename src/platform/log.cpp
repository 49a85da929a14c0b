#include "platform/log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace zelvo::platform {
namespace {

std::atomic<bool> gLogToStderr{true};

// Live captures. The count lets the write path skip the lock when there are
// none (the daemon never has any); the registry itself is leaked so that a
// line logged during static destruction still finds it.
struct CaptureRegistry {
  std::mutex mu;  // guards captures
  std::vector<LogCapture*> captures;
  std::atomic<size_t> count{0};
};

CaptureRegistry& registry() {
  static CaptureRegistry* r = new CaptureRegistry;
  return *r;
}

// Leaked like the capture registry, for lines logged during static destruction.
detail::SyslogSender& syslogSender() {
  static auto* sender =
      new detail::SyslogSender(_PATH_LOG, "zelvo-helper", std::chrono::seconds(1));
  return *sender;
}

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing log
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

std::string formatNow(const char* pattern, bool utc, time_t now = ::time(nullptr)) {
  static std::once_flag tzOnce;
  std::call_once(tzOnce, [] { ::tzset(); });
  struct tm tm {};
  if (utc) {
    ::gmtime_r(&now, &tm);
  } else {
    ::localtime_r(&now, &tm);
  }
  char buf[64];
  size_t n = ::strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

}  // namespace

namespace {
void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(ch);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
}

bool hasControl(std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}
}  // namespace

std::string forLog(std::string_view text) {
  constexpr size_t kMaxBytes = 256;
  bool cut = false;
  if (text.size() > kMaxBytes) {
    size_t end = kMaxBytes;
    // Back up over continuation bytes to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text = text.substr(0, end);
    cut = true;
  }
  std::string out;
  out.reserve(text.size() + 8);
  appendEscaped(out, text);
  if (cut) out += "…";
  return out;
}

namespace {
// Lines this thread holds back for one write (see LogBatch); null when none.
thread_local std::string* tlsBatch = nullptr;

// Standard error as the daemon writes it. Under systemd it is a socket to the
// journal, which may stall (stopped, or behind on a full disk); a thread that
// logs must not stall with it, since the I/O thread logs every request. So a
// socket is written without waiting, and what it does not take joins a
// backlog that a thread of its own writes out, in order, as it is taken;
// past kMaxBacklogBytes waiting (the chunk being written included) whole
// lines are counted and dropped, and the count follows the backlog. A pipe
// (a parent that may stop reading) is treated alike; a file or a terminal is
// written as is.
class StderrSink {
 public:
  static constexpr size_t kMaxBacklogBytes = 1u << 20;

  StderrSink() { retarget(); }

  // Takes up standard error afresh: it may since have been replaced.
  void retarget() {
    std::lock_guard<std::mutex> lock(mu_);
    struct stat st {};
    const bool known = ::fstat(STDERR_FILENO, &st) == 0;
    if (ownPipe_ >= 0) ::close(ownPipe_);
    // A pipe is written through a non-blocking descriptor of its own: the
    // one given may be shared with whoever started the daemon, and its
    // blocking mode with it.
    ownPipe_ = known && S_ISFIFO(st.st_mode)
                   ? ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC)
                   : -1;
    stream_ = known && S_ISSOCK(st.st_mode) ? Stream::Socket
              : ownPipe_ >= 0               ? Stream::Pipe
                                            : Stream::Other;
    journal_ =
        detail::isJournalStream(STDERR_FILENO,
                                std::getenv("JOURNAL_STREAM"));  // NOLINT(concurrency-mt-unsafe)
  }

  // Whether standard error is the journal's stream, which syslog's socket
  // feeds too.
  bool isJournal() const { return journal_; }

  void write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (draining_) {
      keep(text, 0);
      return;
    }
    const size_t sent = sendWithoutWaiting(text);
    if (sent == text.size()) return;
    keep(text, sent);
    try {
      std::thread([this] { drain(); }).detach();
      draining_ = true;
    } catch (const std::system_error&) {
      // No thread to wait for the stream: wait here, as for any other file.
      writeAll(STDERR_FILENO, backlog_.data(), backlog_.size());
      backlog_.clear();
    }
  }

  // Waits until everything kept has been written, at most `bound`.
  void flush(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mu_);
    drained_.wait_for(lock, bound, [this] { return !draining_; });
  }

 private:
  // What of `text` went out at once (all of it where waiting is the only way).
  size_t sendWithoutWaiting(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size() && stream_ != Stream::Other) {
      const char* from = text.data() + sent;
      const size_t size = text.size() - sent;
      const ssize_t n = stream_ == Stream::Socket
                            ? ::send(STDERR_FILENO, from, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                            : ::write(ownPipe_, from, size);
      if (n >= 0) {
        sent += static_cast<size_t>(n);
      } else if (errno == ENOTSOCK) {
        stream_ = Stream::Other;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return sent;
      } else if (errno != EINTR) {
        return text.size();  // nowhere left to report a failing log
      }
    }
    writeAll(STDERR_FILENO, text.data() + sent, text.size() - sent);
    return text.size();
  }

  // The rest of a line that went out in part always follows it, or the
  // stream would hold a torn line; whole lines (a batch holds several) are
  // kept only while they fit.
  void keep(const std::string& text, size_t from) {
    if (from == 0 && inFlight_ + backlog_.size() + text.size() > kMaxBacklogBytes) {
      dropped_ += static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    } else {
      backlog_.append(text, from);
    }
  }

  void drain() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      if (backlog_.empty() && dropped_ > 0) {
        backlog_ = "Log: " + std::to_string(std::exchange(dropped_, 0)) +
                   " lines dropped while standard error took nothing\n";
      }
      if (backlog_.empty()) break;
      const std::string chunk = std::exchange(backlog_, {});
      inFlight_ = chunk.size();
      lock.unlock();
      writeAll(STDERR_FILENO, chunk.data(), chunk.size());
      lock.lock();
      inFlight_ = 0;
    }
    draining_ = false;
    drained_.notify_all();
  }

  std::mutex mu_;  // guards all below, and keeps lines whole and in order
  std::condition_variable drained_;
  std::atomic<bool> journal_{false};  // read without the lock
  enum class Stream { Socket, Pipe, Other };
  Stream stream_ = Stream::Other;
  int ownPipe_ = -1;       // for Stream::Pipe
  bool draining_ = false;  // a drain thread owns the writing: lines queue behind it
  std::string backlog_;
  size_t inFlight_ = 0;  // bytes the drain thread is writing
  uint64_t dropped_ = 0;
};

// Leaked, for lines logged during static destruction and a drain thread still
// at work when the process ends.
StderrSink& stderrSink() {
  static StderrSink* sink = new StderrSink;
  return *sink;
}

void writeToStderr(const std::string& text) {
  stderrSink().write(text);
}
}  // namespace

LogBatch::LogBatch() : outer_(tlsBatch) {
  if (!outer_) tlsBatch = &lines_;
}

LogBatch::~LogBatch() {
  flushLogBatch();
  tlsBatch = outer_;
}

void flushLogBatch() {
  if (!tlsBatch || tlsBatch->empty()) return;
  writeToStderr(*tlsBatch);
  tlsBatch->clear();
}

namespace {
thread_local int tlsRestrictedDepth = 0;

// The token bucket of restricted peers' lines. Returns whether this line may
// go out, and in `dropped` how many went before it unseen (0 mostly).
bool restrictedLineMayPass(uint64_t& dropped) {
  using Clock = std::chrono::steady_clock;
  static std::mutex mu;
  static double tokens = RestrictedPeerLines::kBurst;
  static Clock::time_point last = Clock::now();
  static uint64_t droppedSince = 0;
  std::lock_guard<std::mutex> lock(mu);
  const auto now = Clock::now();
  tokens = std::min(
      RestrictedPeerLines::kBurst,
      tokens + std::chrono::duration<double>(now - last).count() * RestrictedPeerLines::kRate);
  last = now;
  if (tokens < 1) {
    ++droppedSince;
    return false;
  }
  tokens -= 1;
  dropped = std::exchange(droppedSince, 0);
  return true;
}
}  // namespace

RestrictedPeerLines::RestrictedPeerLines(bool applies) : applies_(applies) {
  tlsRestrictedDepth += applies_;
}
RestrictedPeerLines::~RestrictedPeerLines() {
  tlsRestrictedDepth -= applies_;
}
bool RestrictedPeerLines::active() {
  return tlsRestrictedDepth > 0;
}

void helperLog(std::string_view message) {
  systemLog("[Helper] " + localTimestamp() + ": " + std::string(message));
}

void systemLog(std::string_view line) {
  if (tlsRestrictedDepth > 0) {
    uint64_t dropped = 0;
    if (!restrictedLineMayPass(dropped)) return;
    if (dropped > 0) {
      const int depth = std::exchange(tlsRestrictedDepth, 0);  // the count itself always passes
      helperLog("IPC: " + std::to_string(dropped) + " log lines for restricted peers dropped");
      tlsRestrictedDepth = depth;
    }
  }
  // The whole line and its newline go out in one write, so that lines from
  // other processes sharing the descriptor do not interleave with it up to
  // the pipe's atomic size; the lock keeps longer lines of our own threads
  // whole too, since a pipe may take those in several pieces.
  std::string buffer;
  buffer.reserve(line.size() + 1);
  if (hasControl(line)) {
    appendEscaped(buffer, line);
  } else {
    buffer.append(line);
  }
  buffer.push_back('\n');
  if (gLogToStderr.load(std::memory_order_relaxed)) {
    if (tlsBatch) {
      tlsBatch->append(buffer);
    } else {
      writeToStderr(buffer);
    }
  }

  buffer.pop_back();
  if (!(stderrSink().isJournal() && gLogToStderr.load(std::memory_order_relaxed))) {
    syslogSender().send(buffer, detail::SyslogSender::Clock::now());
  }

  CaptureRegistry& reg = registry();
  if (reg.count.load(std::memory_order_acquire) > 0) {
    std::lock_guard<std::mutex> lock(reg.mu);
    for (LogCapture* c : reg.captures) c->append(buffer);
  }
}

std::string localTimestamp() {
  // Lines come in bursts within a second: the text is made once a second per
  // thread, sparing the time zone and format work on every line.
  thread_local time_t last = -1;
  thread_local std::string text;
  const time_t now = ::time(nullptr);
  if (now != last) {
    text = formatNow("%Y-%m-%d %H:%M:%S", false, now);
    last = now;
  }
  return text;
}

std::string isoTimestampUtc() {
  return formatNow("%Y-%m-%dT%H:%M:%SZ", true);
}

void flushLog(std::chrono::milliseconds bound) {
  stderrSink().flush(bound);
}

void setLogToStderr(bool enabled) {
  stderrSink().retarget();
  gLogToStderr.store(enabled, std::memory_order_relaxed);
}

LogCapture::LogCapture() {
  CaptureRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mu);
  reg.captures.push_back(this);
  reg.count.store(reg.captures.size(), std::memory_order_release);
}

LogCapture::~LogCapture() {
  // Once this returns no writer holds a pointer to us: writers append under
  // the registry lock.
  CaptureRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mu);
  reg.captures.erase(std::remove(reg.captures.begin(), reg.captures.end(), this),
                     reg.captures.end());
  reg.count.store(reg.captures.size(), std::memory_order_release);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<std::string> LogCapture::matching(std::string_view needle) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const auto& l : lines_) {
    if (l.find(needle) != std::string::npos) out.push_back(l);
  }
  return out;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

void LogCapture::append(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back(line);
}

namespace detail {

bool isJournalStream(int fd, const char* journalStream) {
  unsigned long long dev = 0, ino = 0;
  char rest = 0;
  struct stat st {};
  return journalStream && std::sscanf(journalStream, "%llu:%llu%c", &dev, &ino, &rest) == 2 &&
         ::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

SyslogSender::SyslogSender(std::string path, std::string tag, Clock::duration retry)
    : path_(std::move(path)), tag_(std::move(tag)), retry_(retry) {}

SyslogSender::~SyslogSender() {
  std::lock_guard<std::mutex> lock(mu_);
  closeLocked();
}

void SyslogSender::send(std::string_view line, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string head;  // made once there is a socket to send to
  // A second round only after the reader went away: connected anew, the
  // lines go to whoever listens there now.
  for (int round = 0; round < 2; ++round) {
    if (fd_ < 0 && !connectLocked(now)) break;
    if (head.empty()) {
      // Appended piece by piece: GCC 12 misreads "<" + std::string as overlapping copies.
      head.append("<").append(std::to_string(LOG_DAEMON | LOG_NOTICE)).append(">");
      head.append(formatNow("%h %e %T", false)).append(" ").append(tag_);
      head.append("[").append(std::to_string(::getpid())).append("]: ");
    }
    if (dropped_ > 0) {
      const Sent notice = sendLocked(head + "Log: " + std::to_string(dropped_) +
                                         " lines dropped while the system log took nothing",
                                     now);
      if (notice == Sent::Gone) continue;
      if (notice == Sent::Full) break;
      dropped_ = 0;
    }
    const Sent sent = sendLocked(head + std::string(line), now);
    if (sent == Sent::Taken) return;
    if (sent == Sent::Full) break;
  }
  ++dropped_;
}

bool SyslogSender::connectLocked(Clock::time_point now) {
  if (now < nextConnect_) return false;
  nextConnect_ = now + retry_;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  // The order syslog(3) tries: datagram first, stream when the socket is of
  // the other kind.
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      fd_ = fd;
      stream_ = type == SOCK_STREAM;
      return true;
    }
    const int err = errno;
    ::close(fd);
    if (err != EPROTOTYPE) return false;
  }
  return false;
}

SyslogSender::Sent SyslogSender::sendLocked(std::string message, Clock::time_point now) {
  if (stream_) message.push_back('\0');
  for (;;) {
    const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(message.size())) return Sent::Taken;
    if (n >= 0) {
      // Part of a line on a stream: ending the connection ends the line
      // there, rather than joining the next line to it.
      closeLocked();
      return Sent::Full;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == ENOMEM || err == EMSGSIZE) {
      return Sent::Full;  // full, or a line too long for it: the line is lost, the socket kept
    }
    closeLocked();
    if (err != ECONNREFUSED && err != ENOTCONN && err != EPIPE && err != ECONNRESET) {
      // Refused (a security policy, a socket taken over by another reader):
      // tried afresh once the retry interval has passed, not on every line.
      nextConnect_ = now + retry_;
      return Sent::Full;
    }
    nextConnect_ = Clock::time_point::min();
    return Sent::Gone;
  }
}

void SyslogSender::closeLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace detail

}  // namespace zelvo::platform
