#include "core/link_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/byte_order.h"
#include "core/daemon_state.h"
#include "core/link_semaphore.h"
#include "core/log_line.h"

namespace vorn::core {

namespace {

enum class Fill { kComplete, kStalled, kLinkDown };

// Reads until `size` bytes have arrived after the `filled` already there, waiting at most
// kFrameRestWaitMs in all for them. The link is a stream: a frame may come in several pieces.
Fill fill(int fd, std::uint8_t *buffer, std::size_t size, std::size_t &filled) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFrameRestWaitMs);
  while (filled < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Fill::kStalled;
    pollfd wanted{fd, POLLIN, 0};
    const int ready = poll(&wanted, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return Fill::kLinkDown;
    if (ready <= 0) continue;
    const ssize_t n = read(fd, buffer + filled, size - filled);
    if (n == 0) return Fill::kLinkDown;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Fill::kLinkDown;
    }
    filled += static_cast<std::size_t>(n);
  }
  return Fill::kComplete;
}

}  // namespace

ReadOutcome read_link_frame(int fd, InboundFrame &frame) {
  std::uint8_t header[kLinkHeaderSize] = {};
  // The first byte may be a long time coming; the rest of a frame follows it at once.
  const ssize_t n = read(fd, header, sizeof header);
  if (n == 0) return ReadOutcome::kLinkDown;
  if (n < 0) return errno == EINTR ? ReadOutcome::kSkipped : ReadOutcome::kLinkDown;
  std::size_t filled = static_cast<std::size_t>(n);
  const Fill whole_header = fill(fd, header, sizeof header, filled);
  if (whole_header == Fill::kLinkDown) return ReadOutcome::kLinkDown;
  // A header cut short is handed on like a short payload: its handler rejects it with a dump.
  const bool stalled = whole_header == Fill::kStalled;
  if (!stalled && header[2] != kInboundType) return ReadOutcome::kSkipped;

  std::size_t length = stalled ? 0 : read_le16(header);
  frame.bytes.reset(static_cast<std::uint8_t *>(std::calloc(length + kLinkHeaderSize, 1)));
  if (!frame.bytes) return ReadOutcome::kSkipped;
  std::memcpy(frame.bytes.get(), header, sizeof header);
  frame.received = filled;
  if (stalled) return ReadOutcome::kFrame;
  if (length == 0) return ReadOutcome::kFrame;

  std::size_t got = 0;
  const Fill payload = fill(fd, frame.bytes.get() + kLinkHeaderSize, length, got);
  if (payload == Fill::kLinkDown) return ReadOutcome::kLinkDown;
  // A stalled payload is still handed on: its handler rejects it for its length, with a dump.
  frame.received += got;
  return ReadOutcome::kFrame;
}

OutboundFrame::OutboundFrame(std::uint8_t api_id, std::uint16_t payload_length)
    : OutboundFrame(api_id, payload_length, payload_length + kLinkHeaderSize) {}

OutboundFrame::OutboundFrame(std::uint8_t api_id, std::uint16_t announced_length, std::size_t size)
    : size_(size) {
  if (size <= kInlineSize) {
    std::memset(inline_, 0, size);
    bytes_ = inline_;
  } else {
    heap_.reset(static_cast<std::uint8_t *>(std::calloc(size, 1)));
    bytes_ = heap_.get();
  }
  if (bytes_ == nullptr) return;
  std::uint8_t *p = write_le16(bytes_, announced_length);
  p[0] = kOutboundType;
  p[1] = api_id;
}

void OutboundFrame::send() {
  if (bytes_ != nullptr) write_link_frame(bytes_, size_);
}

namespace {

enum class Written { kWhole, kNothing, kCut, kClosed };

// One frame, whole, within kLinkWriteTimeout. The socket's send time-out (set when it is made)
// bounds every send; a frame the collector's side takes in pieces is continued until the time is up.
Written send_frame(int fd, const std::uint8_t *frame, std::size_t size) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + kLinkWriteTimeout;
  std::size_t sent = 0;
  while (sent < size) {
    // MSG_NOSIGNAL: a link the collector has closed must not kill the writer with SIGPIPE.
    const ssize_t n = ::send(fd, frame + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Written::kClosed;  // the reader sees it too
    if (Clock::now() >= deadline) return sent == 0 ? Written::kNothing : Written::kCut;
  }
  return Written::kWhole;
}

}  // namespace

void write_link_frame(const std::uint8_t *frame, std::size_t size) {
  const int api_id = size > 3 ? frame[3] : -1;
  if (!enter_link()) {
    log_line("Frame of API id %d dropped: the link stayed taken for %lld s\n", api_id, static_cast<long long>(kLinkWaitLimit.count()));
    return;
  }
  const int fd = daemon_state.link_socket.load();
  const Written written = fd >= 0 ? send_frame(fd, frame, size) : Written::kClosed;
  bool close_link = written == Written::kCut;
  int failed = 0;
  if (LinkHolder *holder = daemon_state.link_holder) {
    if (written == Written::kNothing) failed = holder->failed_writes.fetch_add(1) + 1;
    else if (written == Written::kWhole) holder->failed_writes.store(0);
    if (failed >= kLinkFailedWritesLimit) {
      holder->failed_writes.store(0);
      close_link = true;
    }
  }
  // Shut down, not closed: every process shares the socket, and the main thread's read then ends
  // and makes the link again, as when the collector closes it. Done inside the semaphore, so the
  // descriptor cannot be replaced meanwhile.
  if (close_link) shutdown(fd, SHUT_RDWR);
  leave_link();

  if (written == Written::kNothing)
    log_line("Frame of API id %d dropped: the collector took nothing of it for %lld s\n", api_id, static_cast<long long>(kLinkWriteTimeout.count()));
  if (written == Written::kCut)
    log_line("Frame of API id %d cut short on the link, making the link again\n", api_id);
  else if (close_link)
    log_line("The collector took no frame %d times in a row, making the link again\n", kLinkFailedWritesLimit);
}

void replace_link_socket(int fd) {
  // The semaphore keeps the transmit thread from using the old descriptor while it is closed. A
  // holder that never lets go is not this process's transmit thread (its writes end in time), so
  // after the wait the socket is replaced all the same.
  const bool entered = enter_link();
  if (!entered)
    log_line("The link semaphore stayed taken, replacing the link socket without it\n");
  int old = daemon_state.link_socket.exchange(fd);
  if (entered) leave_link();
  if (old >= 0 && old != fd) close(old);
}

}  // namespace vorn::core
