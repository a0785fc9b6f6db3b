// Fuzz target: one data indication per input, through handle_data_indication and every sensor
// frame handler it dispatches to. Byte 0 of an input chooses how the DeviceList entries are
// preset (radio firmware layout, report state, interval, channel count); the other bytes are the
// indication's payload as the collector sends it. Runs inside a router sandbox, where the
// segments and the platform stores are private; the uci commands are answered by
// shell_stand_in.cpp and the link goes to /dev/null. The cloud holds a two-channel list for sensor 00124B0001A2B3C4, so identifications
// of that sensor reach the comparison with it.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include <gateway_lib/middleware.h>

#include "core/daemon_state.h"
#include "core/link_frame.h"
#include "data/data_indication.h"
#include "shared/device_list.h"
#include "shared/segments.h"

namespace {

using vorn::shared::DeviceListEntry;
using vorn::shared::DeviceListSegment;

constexpr const char *kVersions[] = {"", "1.1.0.2", "2.0.0.1"};
constexpr std::size_t kMaxPayload = 0xFFFF;

DeviceListSegment *device_list() {
  static DeviceListSegment *list = [] {
    vorn::shared::create_shared_state();
    vorn::core::daemon_state.link_socket.store(open("/dev/null", O_WRONLY | O_CLOEXEC));
    for (const char *channel : {"Chan0", "Chan1"})
      middleware_add_channel("/etc/config/cloud.sqlite", "00124B0001A2B3C4", channel, "", "");
    // Kept attached for the whole run; the handlers attach their own.
    static vorn::shared::SegmentAttachment attachment(vorn::core::daemon_state.device_list_segment_id);
    return static_cast<DeviceListSegment *>(attachment.address());
  }();
  return list;
}

// A Data Frame Request of a sensor without a report state waits 9 s for one: such inputs find
// every sensor known, the others any state.
void preset_entries(std::uint8_t selector, bool data_frame_request) {
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  DeviceListSegment *list = device_list();
  for (int i = vorn::shared::kFirstShortAddress; i <= vorn::shared::kLastShortAddress; ++i) {
    DeviceListEntry &entry = list->entries[i];
    std::memset(&entry, 0, sizeof entry);
    entry.ShortAddress = static_cast<std::uint16_t>(i);
    for (int b = 0; b < 8; ++b) entry.ExtAddress[b] = static_cast<std::uint8_t>(i + b);
    vorn::shared::store_text(entry.ModelVersion, kVersions[selector % 3]);
    entry.report_state = static_cast<std::uint8_t>((selector / 3) % 3);
    if (data_frame_request && entry.report_state == 0) entry.report_state = 1;
    entry.EventInterval = (selector & 0x40) ? 60 : 600;
    entry.channel_count = static_cast<std::uint8_t>((selector >> 3) % 11);
    entry.channel_alarm[0] = static_cast<std::uint8_t>(selector >> 7);
    entry.last_time_sync = entry.last_info_report = entry.last_config_request = now;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2 || size - 1 > kMaxPayload) return 0;
  const std::size_t payload = size - 1;
  preset_entries(data[0], payload > 4 && data[1] == 2 && data[5] == 0x20);
  // Exactly the bytes received: a heap block of the frame's length, as the inbound loop hands over.
  std::vector<std::uint8_t> frame(vorn::core::kLinkHeaderSize + payload);
  frame[0] = static_cast<std::uint8_t>(payload);
  frame[1] = static_cast<std::uint8_t>(payload >> 8);
  frame[2] = vorn::core::kInboundType;
  frame[3] = vorn::core::APP_DEVICE_DATA_RX_IND;
  std::memcpy(frame.data() + vorn::core::kLinkHeaderSize, data + 1, payload);
  vorn::data::handle_data_indication(frame.data(), frame.size());
  return 0;
}
