#include "data/data_indication.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/byte_order.h"
#include "core/daemon_state.h"
#include "core/ext_address.h"
#include "core/hex_dump.h"
#include "core/link_frame.h"
#include "core/log_line.h"
#include "data/frame_handlers.h"
#include "shared/segments.h"
#include "shared/status_counters.h"

namespace vorn::data {

namespace {

constexpr std::int8_t kShortAddressMode = 2;
constexpr std::int8_t kExtAddressMode = 3;
constexpr std::size_t kEnvelopeSize = 3;  // address mode and short address

struct Command {
  std::uint8_t id;
  const char *name;
  // The start of the line that rejects a zero FrameCtl; null for commands without the common head.
  const char *head_label;
  void (*handle)(SensorFrame &);  // null: the frame is only dumped
};

constexpr Command kCommands[] = {
    {2, "ConfigRsp", nullptr, handle_config_response},
    {4, "Command 4", nullptr, nullptr},
    {5, "SensorData", "SensorData", handle_sensor_data},
    {7, "Command 7", nullptr, nullptr},
    {9, "Command 9", nullptr, nullptr},
    {0x15, "Set Device Value Response", nullptr, handle_set_device_value_response},
    {0x17, "Get Device Value Response", nullptr, handle_get_device_value_response},
    {0x19, "Set Sensor Response", nullptr, handle_set_sensor_response},
    {0x1B, "Get Sensor Response", nullptr, handle_get_sensor_response},
    {0x20, "Data Frame Request", "Data Frame Request of", handle_data_frame_request},
    {0x22, "Identification Request", "Identification Request of", handle_identification_request},
    {0x2A, "Disassociation Response", "Disassociation Response of", handle_disassociation_response},
    {0x2B, "Sensor Status Request", "Sensor Status Request of", handle_sensor_status_request},
};

const Command *find_command(std::uint8_t id) {
  for (const Command &command : kCommands)
    if (command.id == id) return &command;
  return nullptr;
}

// The ExtAddress and FrameCtl that commands with the common head start with. False when the
// frame is dropped.
bool read_common_head(SensorFrame &frame, const Command &command) {
  FrameReader reader(frame.app, frame.app_size, 2);
  const std::uint8_t *ext_address = reader.take(core::kExtAddressSize);
  frame.frame_ctl = reader.u16();
  if (!reader.ok()) {
    refuse_frame(frame, "frame shorter than its head");
    return false;
  }
  core::copy_ext_address(frame.ext_address, ext_address);
  if (frame.frame_ctl == 0) {
    core::log_line("%s %04X - Wrong FrameCtl (0x%04x)\n",
                   command.head_label, frame.short_address, frame.frame_ctl);
    return false;
  }
  core::ext_address_text(frame.ext_address, frame.ext_text);
  return true;
}

void dispatch(SensorFrame &frame) {
  const Command *command = find_command(frame.app[1]);
  if (command == nullptr) std::fputs("Unknow Cmd ID, Reject!\n", stdout);
  if (command == nullptr || command->handle == nullptr) {
    core::hex_dump(frame.link_frame, frame.total_length);
    return;
  }
  frame.command_name = command->name;
  if (command->head_label != nullptr && !read_common_head(frame, *command)) return;
  command->handle(frame);
}

}  // namespace

void handle_data_indication(const std::uint8_t *link_frame, std::size_t length) {
  if (length <= core::kLinkHeaderSize) return;
  const std::uint8_t *payload = link_frame + core::kLinkHeaderSize;
  const std::size_t payload_size = length - core::kLinkHeaderSize;
  const auto mode = static_cast<std::int8_t>(payload[0]);
  if (mode != kShortAddressMode && mode != kExtAddressMode) {
    std::fputs("Unknow Addr Mode, Reject!\n", stdout);
    return;
  }
  // Only sensors named by a short address are served: an ExtAddress source has none.
  if (mode == kExtAddressMode) {
    std::fputs("Wrong Short Address, Reject!\n", stdout);
    return;
  }
  const std::uint16_t short_address = payload_size >= kEnvelopeSize ? core::read_le16(payload + 1) : 0;
  if (payload_size >= kEnvelopeSize && short_address == 0) {
    std::fputs("Wrong Short Address, Reject!\n", stdout);
    return;
  }
  // The application frame's RSSI and command id must be there.
  if (payload_size < kEnvelopeSize + 2) {
    core::log_line("Data indication of %04X - no application frame (%zu bytes), dropped\n", short_address, length);
    return;
  }

  if (shared::is_device_index(short_address)) shared::sensor_heard(short_address, static_cast<std::uint32_t>(std::time(nullptr)));
  shared::SensorReport report{};
  shared::DeviceListEntry scratch{};
  shared::SegmentAttachment segment(core::daemon_state.device_list_segment_id);
  auto *list = static_cast<shared::DeviceListSegment *>(segment.address());
  SensorFrame frame{link_frame,
                    length,
                    payload + kEnvelopeSize,
                    payload_size - kEnvelopeSize,
                    short_address,
                    "Sensor frame",
                    {},
                    {},
                    0,
                    shared::is_device_index(short_address) ? &list->entries[short_address] : &scratch,
                    report};
  report.rssi = static_cast<std::int8_t>(frame.app[0]);
  dispatch(frame);
  if (!segment.detach()) std::exit(1);
}

}  // namespace vorn::data
