#include "devices/device_joined.h"

#include <gateway_lib/utils.h>

#include <cstdio>
#include <ctime>

#include "core/byte_order.h"
#include "core/daemon_state.h"
#include "core/ext_address.h"
#include "core/link_frame.h"
#include "core/log_line.h"
#include "core/sensorlist_lock.h"
#include "devices/database_file.h"
#include "devices/sensor_section.h"
#include "devices/sensorlist_store.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/request_builders.h"
#include "shared/segments.h"
#include "shared/status_counters.h"

namespace vorn::devices {

namespace {

struct JoinedIndication {
  std::uint16_t short_address;
  std::uint8_t ext_address[core::kExtAddressSize];
  bool rejoined;
  char text[core::kExtAddressTextSize];
};

JoinedIndication parse_joined(const std::uint8_t *frame) {
  const std::uint8_t *payload = frame + core::kLinkHeaderSize;
  JoinedIndication joined{};
  joined.short_address = core::read_le16(payload + 2);
  core::copy_ext_address(joined.ext_address, payload + 4);
  joined.rejoined = payload[18] != 0;
  core::ext_address_text(joined.ext_address, joined.text);
  return joined;
}

void refresh_device_list_entry(const JoinedIndication &joined) {
  shared::device_list_add(joined.short_address, joined.ext_address);
  shared::SegmentAttachment segment(core::daemon_state.device_list_segment_id);
  if (shared::is_device_index(joined.short_address)) {
    shared::DeviceEntryLock lock(joined.short_address);
    static_cast<shared::DeviceListSegment *>(segment.address())->entries[joined.short_address].join_mark = 0;
  }
}

// Makes sure the sensor has exactly one section and records its short address in it.
void record_in_sensorlist(const JoinedIndication &joined) {
  SensorSectionLock lock(joined.text);
  const core::SensorlistWriteLock write_lock;
  if (add_section_if_missing(joined.text) != SectionLookup::kUnknown)
    set_sensor_short_address(joined.text, joined.short_address);
  commit_sensorlist(joined.text, "its section and short address");
}

// Old firmware (1.1.x, 2.1.x) or none on record needs a configuration request after a re-join.
bool needs_config_request(const char *version) {
  if (version[0] == '\0') return true;
  return (version[0] == '1' || version[0] == '2') && version[1] != '\0' && version[2] == '1';
}

}  // namespace

void handle_device_joined(const std::uint8_t *frame) {
  const JoinedIndication joined = parse_joined(frame);
  core::log_line("%s\n",
                 joined.rejoined ? "Device Re-Joined:" : "Device Joined:");
  std::printf("\tShort Address: %04X\n", joined.short_address);
  std::printf("\tExt. Address: %s\n", joined.text);
  if (shared::is_device_index(joined.short_address))
    shared::sensor_heard(joined.short_address, static_cast<std::uint32_t>(std::time(nullptr)));

  const int wanted = joined.rejoined ? read_event_interval_wanted(joined.text) : 0;
  if (!joined.rejoined || wanted == 0) refresh_device_list_entry(joined);

  ensure_database_file(joined.text);

  if (joined.rejoined && read_event_interval_wanted(joined.text) != 0) {
    // The sensor keeps the interval the cloud asked for; its section is left as it is.
    const core::SensorlistWriteLock write_lock;
    commit_sensorlist(joined.text, "changes staged before its re-join");
  } else {
    record_in_sensorlist(joined);
    if (!joined.rejoined) return;
  }

  char version[20] = {};
  GetCurrentSensorVer(joined.text, version, "uci get sensorlist.@%s[0].ModelVersion", 19);
  if (needs_config_request(version)) shared::send_config_request(1, nullptr, joined.short_address);
}

}  // namespace vorn::devices
