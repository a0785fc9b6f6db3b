// Start-up: the DeviceList rebuilt from the sensors recorded in sensorlist.
#pragma once

#include <cstdint>

namespace vorn::devices {

void reconcile_sensor_list();

// A new copy of the text between the first single quote of `line` and the next one (also stored
// in `*value`); nullptr without two quotes. The caller frees it.
char *quoted_value(const char *line, char **value);

// Hexadecimal digits, most significant first; 0 for no text.
std::uint32_t hex_to_number(const char *text);

// 1 when the sensor's ModelVersion was found and stored in its DeviceList entry.
int load_model_version(std::uint16_t short_address, const std::uint8_t *ext_address);

// Stores the sensor's EventInterval in its DeviceList entry when one is recorded.
void load_event_interval(std::uint16_t short_address, const std::uint8_t *ext_address);

}  // namespace vorn::devices
