#include "commands/command_support.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/command_event.h"
#include "core/daemon_state.h"
#include "core/log_line.h"
#include "devices/sensorlist_store.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/segments.h"

namespace vorn::commands {

namespace {

constexpr std::size_t kExcerptLength = 24;

bool printable_ascii(char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

void refuse_command(const char *key, const char *value, const char *reason) {
  // The value came from outside: show only a short piece of it, and no control characters that
  // could forge or break log lines.
  char excerpt[kExcerptLength + 4] = {};
  if (value != nullptr) {
    std::size_t i = 0;
    for (; i < kExcerptLength && value[i] != '\0'; ++i) excerpt[i] = printable_ascii(value[i]) ? value[i] : '?';
    if (value[i] != '\0') std::memcpy(excerpt + i, "...", 3);
  }
  core::log_line("%s \"%s\" refused: %s\n", key, excerpt,
                 reason);
}

SensorIdValue read_sensor_id_value(const char *key, json_object *value, const char **text) {
  if (!json_object_is_type(value, json_type_string)) return SensorIdValue::kNotString;
  const char *candidate = json_object_get_string(value);
  if (!core::is_ext_address_text(candidate)) {
    refuse_command(key, candidate, "not a sensor id of 16 hexadecimal digits");
    return SensorIdValue::kRefused;
  }
  *text = candidate;
  return SensorIdValue::kValid;
}

bool read_short_address_digits(const char *ext_address_text, char (&digits)[kAddressDigits + 1]) {
  char line[128];
  if (!devices::get_first_line(line, sizeof line, "sensorlist.@%s[].ShortAddress", ext_address_text) ||
      std::strlen(line) <= kAddressDigits)
    return false;
  std::memcpy(digits, line, kAddressDigits);
  digits[kAddressDigits] = '\0';
  return true;
}

bool read_device_index(json_object *value, int *index) {
  if (!json_object_is_type(value, json_type_int)) return false;
  const int candidate = json_object_get_int(value);
  if (!shared::is_device_index(static_cast<unsigned>(candidate))) return false;
  *index = candidate;
  return true;
}

bool read_known_sensor(json_object *value, int *index, char (&text)[core::kExtAddressTextSize]) {
  text[0] = '\0';
  if (!read_device_index(value, index)) return false;
  ext_text_for_short_address(*index, text);
  return text[0] != '\0';
}

void ext_text_for_short_address(int short_address, char (&text)[core::kExtAddressTextSize]) {
  shared::SegmentAttachment segment(core::daemon_state.device_list_segment_id);
  std::uint8_t ext_address[core::kExtAddressSize] = {};
  if (shared::is_device_index(static_cast<unsigned>(short_address))) {
    const auto *list = static_cast<const shared::DeviceListSegment *>(segment.address());
    const shared::DeviceEntryLock lock(short_address);
    core::copy_ext_address(ext_address, list->entries[short_address].ExtAddress);
  }
  if (!segment.detach()) std::exit(1);
  if (core::ext_address_is_set(ext_address)) core::ext_address_text(ext_address, text);
}

int decimal_value(const char *text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX || (errno == ERANGE && value > 0)) return INT_MAX;
  if (value < INT_MIN || (errno == ERANGE && value < 0)) return INT_MIN;
  return static_cast<int>(value);
}

bool file_text_acceptable(const char *key, json_object *value, std::size_t max_length) {
  const char *text = json_object_get_string(value);
  const auto length = static_cast<std::size_t>(json_object_get_string_len(value));
  if (length > max_length) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "longer than %zu characters", max_length);
    refuse_command(key, text, reason);
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (!printable_ascii(text[i])) {  // also a NUL inside the JSON string
      refuse_command(key, text, "holds a character that is not printable ASCII");
      return false;
    }
  }
  return true;
}

}  // namespace vorn::commands
