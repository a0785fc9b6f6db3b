#include "data/sensor_upkeep.h"

#include <cstdio>

#include "core/ext_address.h"
#include "core/log_line.h"
#include "data/sensor_frame.h"
#include "devices/device_removal.h"
#include "devices/sensorlist_store.h"
#include "shared/request_builders.h"
#include "shared/txq.h"

namespace vorn::data {

namespace {

constexpr std::uint16_t kSetEventInterval = 1;
constexpr std::uint16_t kSetClock = 4;

void send_set_sensor(std::uint16_t short_address, std::uint16_t command, std::int32_t value) {
  char address_text[5];
  std::snprintf(address_text, sizeof address_text, "%04X", short_address);
  std::uint8_t record[shared::kRequestRecordHeader + 6] = {};
  shared::build_set_sensor_record(record, address_text, command, value);
  shared::send_set_sensor_req(record, sizeof record);
}

}  // namespace

int read_remove_sensor(const char *ext_address_text) {
  if (!core::is_ext_address_text(ext_address_text)) return 0;
  return devices::get_int_value("sensorlist.@%s[].RemoveSensor", ext_address_text);
}

bool removal_requested(const SensorFrame &frame) {
  if (read_remove_sensor(frame.ext_text) == 0) return false;
  devices::remove_sensor(nullptr, frame.ext_address, frame.short_address);
  return true;
}

void send_sync_time(std::uint16_t short_address) {
  const std::int64_t now = unix_now();
  core::log_line("Send SyncTime to 0x%04X\n", short_address);
  send_set_sensor(short_address, kSetClock, static_cast<std::int32_t>(now - kSensorEpoch));
}

void sync_sensor_clock(SensorFrame &frame, std::int64_t now) {
  send_sync_time(frame.short_address);
  with_entry(frame, [&](shared::DeviceListEntry &entry) {
    entry.time_sync_pending = 0;
    entry.last_time_sync = static_cast<std::uint32_t>(now);
  });
}

bool sync_owed_clock(SensorFrame &frame, std::int64_t now) {
  const bool owed = with_entry(frame, [&](shared::DeviceListEntry &entry) {
    if (entry.time_sync_pending == 0) return false;
    entry.time_sync_pending = 0;
    entry.last_time_sync = static_cast<std::uint32_t>(now);
    return true;
  });
  if (owed) send_sync_time(frame.short_address);
  return owed;
}

const char *event_interval_refusal(std::int64_t interval) {
  if (interval <= 0) return "not an interval above 0 seconds";
  if (interval > kLongestEventInterval) return "above 65535 seconds, more than the sensor can hold";
  return nullptr;
}

void send_event_interval(std::uint16_t short_address, int interval) {
  if (event_interval_refusal(interval) != nullptr) return;
  send_set_sensor(short_address, kSetEventInterval, interval);
}

int reconcile_event_interval(std::uint16_t short_address, const char *ext_address_text, int current) {
  if (!core::is_ext_address_text(ext_address_text)) return 0;
  const int wanted = devices::read_event_interval_wanted(ext_address_text);
  // A wish the sensor cannot hold (stored before such wishes were refused) is never sent.
  if (event_interval_refusal(wanted) != nullptr || current <= 0 || current == wanted) return 0;
  send_event_interval(short_address, wanted);
  return 1;
}

void config_request_rule(std::uint16_t short_address, const shared::DeviceListEntry &entry, int interval_sent) {
  const bool due = interval_sent == 1 || entry.time_sync_pending == 1 ||
                   (entry.EventInterval <= kFastInterval &&
                    unix_now() - static_cast<std::int64_t>(entry.last_config_request) >= kConfigRequestPeriod);
  if (due) shared::send_config_request(1, nullptr, short_address);
}

}  // namespace vorn::data
