// Fuzz target: the bytes of the collector link, as many frames as they hold. The input is written
// whole into one end of a socket pair whose end is then closed, so read_link_frame never waits for
// the rest of a frame: a frame cut short by the end of the input ends the link. Each frame read is
// handed to handle_frame in this process, as a handler process would get it, which reaches the
// length rules and every handler (joins, leaves, network information, device arrays, state
// changes, confirmations, data indications). Every input starts from an empty DeviceList and no
// sensor databases, so a join copies the template each time. Runs inside a router sandbox; the
// handlers' own link writes go to /dev/null.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "app/frame_dispatch.h"
#include "core/daemon_state.h"
#include "core/link_io.h"
#include "shared/device_list.h"
#include "shared/segments.h"

namespace {

// A single write of this much always fits a fresh local socket's buffer, so it never blocks.
constexpr std::size_t kMaxInput = 128 * 1024;

vorn::shared::DeviceListSegment *device_list() {
  static vorn::shared::DeviceListSegment *list = [] {
    vorn::shared::create_shared_state();
    vorn::core::daemon_state.link_socket.store(open("/dev/null", O_WRONLY | O_CLOEXEC));
    static vorn::shared::SegmentAttachment attachment(vorn::core::daemon_state.device_list_segment_id);
    return static_cast<vorn::shared::DeviceListSegment *>(attachment.address());
  }();
  return list;
}

// Closes the descriptor it holds.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::memset(device_list(), 0, sizeof(vorn::shared::DeviceListSegment));
  std::error_code ignored;
  for (const auto &database : std::filesystem::directory_iterator("/etc/data", ignored))
    std::filesystem::remove(database.path(), ignored);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
  Descriptor reader{ends[0]}, writer{ends[1]};
  if (size > 0 && send(writer.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(size))
    __builtin_trap();  // the link would not hold the input: the target is broken, not the daemon
  close(writer.fd);
  writer.fd = -1;

  for (;;) {
    vorn::core::InboundFrame frame;
    const vorn::core::ReadOutcome outcome = vorn::core::read_link_frame(reader.fd, frame);
    if (outcome == vorn::core::ReadOutcome::kLinkDown) break;
    if (outcome == vorn::core::ReadOutcome::kFrame) vorn::app::handle_frame(frame.bytes.get(), frame.received);
  }
  return 0;
}
