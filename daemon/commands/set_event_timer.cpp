#include <cstdio>

#include "commands/command_keys.h"
#include "commands/command_support.h"
#include "core/link_frame.h"
#include "core/log_line.h"
#include "core/sensorlist_lock.h"
#include "data/sensor_upkeep.h"
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
  // An interval of 0 or less stored as the wish would disable the sensor's reports; one above what
  // the sensor's 16-bit field holds would never match what it reports, and be asked for again
  // with every frame.
  if (const char *why = data::event_interval_refusal(interval)) {
    char reason[80];
    std::snprintf(reason, sizeof reason, "TimeBase is %s", why);
    refuse_command("SetEventTimer", time_base_text, reason);
    return kTryNextKey;
  }
  char digits[kAddressDigits + 1];
  if (!read_short_address_digits(ext_text, digits)) return kTryNextKey;

  {
    const core::SensorlistWriteLock write_lock;
    devices::set_sensor_number(ext_text, "EventIntervalUserWanted", interval);
    char what[64];
    std::snprintf(what, sizeof what, "its wanted interval %d", interval);
    devices::commit_sensorlist(ext_text, what);
  }
  shared::build_set_sensor_record(message.payload, digits, kEventIntervalCommand, interval);
  core::log_line("Update EventInterval(%d) to %s\n", interval,
                 digits);
  return queue_request(core::APP_SET_SENSOR_REQ);
}

}  // namespace vorn::commands
