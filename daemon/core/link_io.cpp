#include "core/link_io.h"

#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/common.h"
#include "core/daemon_state.h"

namespace vorn::core {

ReadOutcome read_link_frame(int fd, InboundFrame &frame) {
  std::uint8_t header[kLinkHeaderSize] = {};
  ssize_t n = read(fd, header, sizeof header);
  if (n == 0) return ReadOutcome::kLinkDown;
  if (n < 0) return errno == EINTR ? ReadOutcome::kSkipped : ReadOutcome::kLinkDown;
  if (n != static_cast<ssize_t>(sizeof header)) return ReadOutcome::kSkipped;
  if (header[2] != kInboundType) return ReadOutcome::kSkipped;

  std::size_t length = read_le16(header);
  frame.bytes.reset(static_cast<std::uint8_t *>(std::calloc(length + kLinkHeaderSize, 1)));
  if (!frame.bytes) return ReadOutcome::kSkipped;
  std::memcpy(frame.bytes.get(), header, sizeof header);
  frame.received = kLinkHeaderSize;
  if (length == 0) return ReadOutcome::kFrame;

  ssize_t got;
  do {
    got = read(fd, frame.bytes.get() + kLinkHeaderSize, length);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return ReadOutcome::kLinkDown;
  frame.received += static_cast<std::size_t>(got);
  return ReadOutcome::kFrame;
}

OutboundFrame::OutboundFrame(std::uint8_t api_id, std::uint16_t payload_length)
    : OutboundFrame(api_id, payload_length, payload_length + kLinkHeaderSize) {}

OutboundFrame::OutboundFrame(std::uint8_t api_id, std::uint16_t announced_length, std::size_t size)
    : bytes_(static_cast<std::uint8_t *>(std::calloc(size, 1))), size_(size) {
  if (!bytes_) return;
  std::uint8_t *p = write_le16(bytes_.get(), announced_length);
  p[0] = kOutboundType;
  p[1] = api_id;
}

void OutboundFrame::send() {
  if (bytes_) write_link_frame(bytes_.get(), size_);
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
