#include "core/link_io.h"

#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/common.h"
#include "core/daemon_state.h"

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

void wait_link_semaphore(sem_t *semaphore) {
  while (sem_wait(semaphore) != 0 && errno == EINTR) {
  }
}

}  // namespace

void write_link_frame(const std::uint8_t *frame, std::size_t size) {
  sem_t *semaphore = daemon_state.link_semaphore;
  if (semaphore) wait_link_semaphore(semaphore);
  int fd = daemon_state.link_socket.load();
  // MSG_NOSIGNAL: a link the collector has closed must not kill the writer with SIGPIPE.
  if (fd >= 0) (void)::send(fd, frame, size, MSG_NOSIGNAL);
  if (semaphore) sem_post(semaphore);
}

void replace_link_socket(int fd) {
  sem_t *semaphore = daemon_state.link_semaphore;
  if (semaphore) wait_link_semaphore(semaphore);
  int old = daemon_state.link_socket.exchange(fd);
  if (semaphore) sem_post(semaphore);
  if (old >= 0 && old != fd) close(old);
}

}  // namespace vorn::core
