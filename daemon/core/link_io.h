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
  bool ok() const { return bytes_ != nullptr; }
  std::uint8_t *bytes() { return bytes_.get(); }
  std::uint8_t *payload() { return bytes_.get() + kLinkHeaderSize; }
  std::size_t size() const { return size_; }
  void send();

 private:
  FrameBuffer bytes_;
  std::size_t size_;
};

// Writes one whole frame with a single write, under the link semaphore when this process has one.
// The result is not reported: a frame that cannot be written is lost.
void write_link_frame(const std::uint8_t *frame, std::size_t size);

// Swaps in a new link socket (or -1) under the link semaphore and closes the old one.
void replace_link_socket(int fd);

}  // namespace vorn::core
