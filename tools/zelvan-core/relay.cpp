#include "relay.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "net.h"

namespace zelvan {
namespace {

// Per direction. A tunnel starts with the small buffer; one whose read fills
// it is moving bulk data and switches to the large one. Measured on loopback,
// copying through a buffer of the large size beats splice(2) through a pipe
// by a wide margin (the pipe path pays per page on every hop) and beats
// smaller and larger buffers alike.
constexpr size_t kSmallBytes = 64u << 10;
constexpr size_t kLargeBytes = 2u << 20;
// A tunnel quiet this long gives its large buffers back, so resident memory
// follows the tunnels busy now rather than every tunnel that ever was.
constexpr int kReleaseAfterMs = 1000;

class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { shrink(); }

  bool allocate() {
    small_.reset(new (std::nothrow) char[kSmallBytes]);  // not zeroed: only read after recv()
    return small_ != nullptr;
  }
  char* data() const { return large_ ? large_ : small_.get(); }
  size_t size() const { return large_ ? kLargeBytes : kSmallBytes; }
  bool isLarge() const { return large_ != nullptr; }

  // Faulted in with one call rather than a page at a time during the copy.
  // When the mapping fails the small buffer simply stays in use.
  void grow() {
    if (large_) return;
    void* p = ::mmap(nullptr, kLargeBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p != MAP_FAILED) large_ = static_cast<char*>(p);
  }
  void shrink() {
    if (large_) ::munmap(large_, kLargeBytes);
    large_ = nullptr;
  }

 private:
  std::unique_ptr<char[]> small_;
  char* large_ = nullptr;
};

// One direction: src -> buffer -> dst.
struct Direction {
  int src = -1;
  int dst = -1;
  Buffer buffer;
  size_t sent = 0;      // offset of the first byte not yet written to dst
  size_t pending = 0;   // bytes read but not yet written
  bool eof = false;     // src said end of stream
  bool done = false;    // eof, buffer drained and dst shut for writing
  bool filled = false;  // the last read filled the buffer
  std::atomic<int64_t>* tunnelCount = nullptr;
  bool up = false;

  // Moves what it can without blocking; false on a socket error. `srcReady`
  // false skips the read that would only say "nothing yet". The source is
  // read only once the buffer is empty, so a slow destination holds the
  // source back (TCP flow control does the rest).
  bool pump(Traffic& traffic, bool& progressed, bool srcReady = true) {
    if (!eof && srcReady && pending == 0) {
      if (filled) buffer.grow();  // empty now, so nothing needs moving over
      ssize_t n = ::recv(src, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        pending = static_cast<size_t>(n);
        sent = 0;
        filled = pending == buffer.size();
        progressed = true;
      } else if (n == 0) {
        eof = true;
        progressed = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        return false;
      }
    }
    while (pending > 0) {
      ssize_t n = ::send(dst, buffer.data() + sent, pending, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        pending -= static_cast<size_t>(n);
        tunnelCount->fetch_add(n, std::memory_order_relaxed);
        if (up) {
          traffic.addUp(n);
        } else {
          traffic.addDown(n);
        }
        progressed = true;
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      return false;
    }
    if (eof && pending == 0 && !done) {
      ::shutdown(dst, SHUT_WR);
      done = true;
      progressed = true;
    }
    return true;
  }

  short srcEvents() const { return (!eof && pending == 0) ? POLLIN : 0; }
  short dstEvents() const { return pending > 0 ? POLLOUT : 0; }
};

}  // namespace

RelayEnd relay(Tunnel& tunnel, Traffic& traffic, int idleTimeoutMs) {
  int client = tunnel.clientFd();
  int upstream = tunnel.upstreamFd();
  if (!setNonBlocking(client, true) || !setNonBlocking(upstream, true)) return RelayEnd::kError;
  Direction toUp;
  toUp.src = client;
  toUp.dst = upstream;
  Direction toDown;
  toDown.src = upstream;
  toDown.dst = client;
  toUp.tunnelCount = &tunnel.up;
  toUp.up = true;
  toDown.tunnelCount = &tunnel.down;
  if (!toUp.buffer.allocate() || !toDown.buffer.allocate()) return RelayEnd::kError;

  // Which sources poll last reported readable (both, at first). A source
  // that just gave data is read again at once; one that did not is left to
  // poll, instead of being asked in vain on every turn.
  bool clientReadable = true, upstreamReadable = true;
  for (;;) {
    bool upMoved = false, downMoved = false;
    if (!toUp.pump(traffic, upMoved, clientReadable) ||
        !toDown.pump(traffic, downMoved, upstreamReadable)) {
      return RelayEnd::kError;
    }
    if (toUp.done && toDown.done) return RelayEnd::kFinished;
    clientReadable = clientReadable && upMoved;
    upstreamReadable = upstreamReadable && downMoved;
    if (upMoved || downMoved) continue;  // drain before sleeping

    // A socket with nothing wanted is left out: a hung-up socket would
    // otherwise wake every poll while the other side still drains.
    short clientEvents = static_cast<short>(toUp.srcEvents() | toDown.dstEvents());
    short upstreamEvents = static_cast<short>(toDown.srcEvents() | toUp.dstEvents());
    pollfd fds[2] = {{clientEvents ? client : -1, clientEvents, 0},
                     {upstreamEvents ? upstream : -1, upstreamEvents, 0}};
    int n;
    bool holdingLarge = (toUp.buffer.isLarge() && toUp.pending == 0) ||
                        (toDown.buffer.isLarge() && toDown.pending == 0);
    if (holdingLarge && idleTimeoutMs > kReleaseAfterMs) {
      n = ::poll(fds, 2, kReleaseAfterMs);
      if (n == 0) {
        if (toUp.pending == 0) toUp.buffer.shrink();
        if (toDown.pending == 0) toDown.buffer.shrink();
        n = ::poll(fds, 2, idleTimeoutMs - kReleaseAfterMs);
      }
    } else {
      n = ::poll(fds, 2, idleTimeoutMs);
    }
    if (n == 0) return RelayEnd::kIdle;
    if (n < 0 && errno != EINTR) return RelayEnd::kError;
    if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) return RelayEnd::kError;
    clientReadable = fds[0].revents & (POLLIN | POLLHUP);
    upstreamReadable = fds[1].revents & (POLLIN | POLLHUP);
    // Hang-ups surface as end of stream or write errors in pump().
  }
}

}  // namespace zelvan
