#include "data/sensor_texts.h"

#include <cstdio>
#include <cstring>

#include "core/ext_address.h"
#include "core/sensorlist_lock.h"
#include "devices/sensor_section.h"
#include "devices/sensorlist_store.h"
#include "shared/device_list.h"

namespace vorn::data {

void version_text(const std::uint8_t *bytes, char (&text)[16]) {
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::uint32_t version_number(const std::uint8_t *bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
}

void packed_date_text(std::uint16_t value, char *text, std::size_t size) {
  std::snprintf(text, size, "%04d/%02d/%02d", 2000 + ((value >> 9) & 0x7E), (value >> 5) & 0x0E, value & 0x1F);
}

void quote_for_shell(const char *text, char *out, std::size_t size) {
  std::size_t length = 0;
  for (const char *c = text; *c != '\0' && length + 2 < size; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte > 0x7E) continue;
    if (std::strchr("\"$`\\", byte) != nullptr) out[length++] = '\\';
    out[length++] = static_cast<char>(byte);
  }
  out[length] = '\0';
}

void set_sensor_options(const char *ext_address_text, int short_address, std::initializer_list<SensorOption> options,
                        std::optional<int> event_interval) {
  if (!core::is_ext_address_text(ext_address_text)) return;
  devices::SensorSectionLock lock(ext_address_text);
  const core::SensorlistWriteLock write_lock;
  if (shared::is_device_index(static_cast<unsigned>(short_address)) &&
      devices::add_section_if_missing(ext_address_text) == devices::SectionLookup::kAdded)
    devices::set_sensor_short_address(ext_address_text, short_address);
  for (const SensorOption &option : options) {
    char quoted[2 * 64 + 1];
    quote_for_shell(option.value, quoted, sizeof quoted);
    // The router's uci deletes an option set to an empty text: an empty field keeps what is stored.
    if (quoted[0] == '\0') continue;
    devices::set_sensor_option(ext_address_text, option.name, quoted);
  }
  if (event_interval) devices::set_sensor_number(ext_address_text, "EventInterval", *event_interval);
  devices::commit_sensorlist(ext_address_text, "its identity and interval");
}

}  // namespace vorn::data
