// Reading and writing whole frames on the collector link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/link_frame.h"

namespace vorn::core {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
using FrameBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

enum class ReadOutcome {
  kFrame,     // a frame (possibly cut short, which the handler rejects)
  kSkipped,   // header not read whole, wrong type byte or no memory: nothing to hand on
  kLinkDown,  // the collector closed the link or the socket failed
};

struct InboundFrame {
  FrameBuffer bytes;          // payload length + 4 bytes, zero-filled, header first
  std::size_t received = 0;   // the bytes that arrived: fewer than announced when the rest stalled
};

// How long the rest of a frame may take once its first byte has come (and its payload once its
// header has come). A frame that does not arrive whole in that time is handed on short.
constexpr int kFrameRestWaitMs = 200;

// One frame: waits for its first byte as long as it takes, then reads the 4-byte header and the
// announced payload in as many pieces as they arrive in.
ReadOutcome read_link_frame(int fd, InboundFrame &frame);

// An outbound frame in a fresh zero-filled buffer with its header written. An allocation failure
// leaves it empty and send() then sends nothing.
class OutboundFrame {
 public:
  OutboundFrame(std::uint8_t api_id, std::uint16_t payload_length);
  // A frame whose header announces `announced_length` while `size` bytes are sent.
  OutboundFrame(std::uint8_t api_id, std::uint16_t announced_length, std::size_t size);
  OutboundFrame(const OutboundFrame &) = delete;  // bytes_ may point into the object itself
  OutboundFrame &operator=(const OutboundFrame &) = delete;
  bool ok() const { return bytes_ != nullptr; }
  std::uint8_t *bytes() { return bytes_; }
  std::uint8_t *payload() { return bytes_ + kLinkHeaderSize; }
  std::size_t size() const { return size_; }
  void send();

 private:
  // Frames up to this size (every frame the transmit thread builds from a TXQ slot) live in the
  // object. A heap buffer the transmit thread held while the main process forked a handler would
  // be a block in the handler that none of its threads refers to, which a leak check reports.
  static constexpr std::size_t kInlineSize = 256;
  std::uint8_t inline_[kInlineSize];
  FrameBuffer heap_;
  std::uint8_t *bytes_ = nullptr;
  std::size_t size_;
};

// Writes one whole frame under the link semaphore when this process has one, within
// kLinkWriteTimeout. A frame the collector does not take in that time is dropped with one line; a
// frame cut short, or too many dropped in a row, shut the link down so the main thread makes it
// again. A link the collector closed loses the frame silently: the main thread reconnects.
void write_link_frame(const std::uint8_t *frame, std::size_t size);

// Swaps in a new link socket (or -1) under the link semaphore and closes the old one.
void replace_link_socket(int fd);

}  // namespace vorn::core
