#include <cstdio>

#include "commands/command_keys.h"
#include "commands/command_support.h"
#include "core/common.h"
#include "core/link_frame.h"
#include "core/sensorlist_lock.h"
#include "devices/sensorlist_store.h"
#include "shared/request_builders.h"

namespace vorn::commands {

namespace {

constexpr std::uint16_t kEventIntervalCommand = 1;

}  // namespace

// Stores the wanted interval first, so the sensor upkeep can bring the sensor to it later even if
// this request is lost, then queues the set-sensor request.
KeyResult set_event_timer(json_object *value, const CommandMessage &message) {
  json_object *time_base = nullptr;
  if (!json_object_is_type(value, json_type_string) ||
      !json_object_object_get_ex(message.document, "TimeBase", &time_base) ||
      !json_object_is_type(time_base, json_type_string))
    return kTryNextKey;
  const char *ext_text = nullptr;
  if (read_sensor_id_value("SetEventTimer", value, &ext_text) != SensorIdValue::kValid) return kTryNextKey;
  const char *time_base_text = json_object_get_string(time_base);
  const int interval = decimal_value(time_base_text);
  if (interval <= 0) {
    // An interval of 0 or less stored as the wish would disable the sensor's reports.
    refuse_command("SetEventTimer", time_base_text, "TimeBase is not an interval above 0 seconds");
    return kTryNextKey;
  }
  char digits[kAddressDigits + 1];
  if (!read_short_address_digits(ext_text, digits)) return kTryNextKey;

  {
    const core::SensorlistWriteLock write_lock;
    core::_system("uci set sensorlist.@%s[].EventIntervalUserWanted=\"%d\"", ext_text, interval);
    devices::commit_sensorlist();
  }
  shared::build_set_sensor_record(message.payload, digits, kEventIntervalCommand, interval);
  std::printf("[%s] %ld: Update EventInterval(%d) to %s\n", core::timestamp_text(), core::uptime_seconds(), interval,
              digits);
  return queue_request(core::APP_SET_SENSOR_REQ);
}

}  // namespace vorn::commands
