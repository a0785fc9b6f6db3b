// The daemon's DeviceList segment (System V key 5888: 101 entries of 444 bytes, entry i for
// short address i), attached read-only: vorn_web never writes it. Fields are read byte by byte at
// their offsets, little-endian, each text bounded by its field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api_params.h"

namespace web {

constexpr int kDeviceListKey = 5888;
constexpr std::size_t kDeviceListEntries = 101;
constexpr std::size_t kDeviceListEntrySize = 444;

struct DeviceEntry {
  std::uint16_t short_address = 0;
  std::string id;  // ExtAddress text: 16 hexadecimal digits, most-significant byte first
  std::string model_number, model_name, sensor_version;
  std::int32_t rssi = 0, event_interval = 0, power_source = 0;
  float battery = 0;
  std::uint8_t channel_count = 0, report_state = 0;
  std::uint8_t channel_alarm[kMaxChannels] = {};
  std::string channel_units[kMaxChannels];
};

// One entry from its 444 bytes; nothing when the entry is free (ExtAddress all zero).
std::optional<DeviceEntry> read_device_entry(const std::uint8_t *entry);

// The entries in use, by short address; nothing when the segment does not exist.
std::optional<std::vector<DeviceEntry>> read_device_list();

}  // namespace web
