#include "commands/command_keys.h"
#include "commands/command_support.h"
#include "core/sensorlist_lock.h"
#include "devices/sensorlist_store.h"

namespace vorn::commands {

// Only marks the sensor: it is removed when it next sends a frame.
bool handle_remove_dev(json_object *value) {
  if (value == nullptr) return false;  // null: the queued commands are looked at
  const char *ext_text = nullptr;
  char digits[kAddressDigits + 1];
  if (read_sensor_id_value("RemoveDev", value, &ext_text) == SensorIdValue::kValid &&
      read_short_address_digits(ext_text, digits)) {
    const core::SensorlistWriteLock write_lock;
    devices::set_sensor_option(ext_text, "RemoveSensor", "1");
    devices::commit_sensorlist(ext_text, "its removal mark");
  }
  return true;
}

}  // namespace vorn::commands
