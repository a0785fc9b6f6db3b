// The daemon's DeviceList segment (System V key 5888: 101 entries of 444 bytes, entry i for short
// address i), attached read-only: which sensors the daemon holds and what it last heard of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mqtt_agent {

// One entry, the fields the agent uses at their offsets.
struct DeviceListEntry {
  std::uint8_t short_address[2];   // 0, little-endian
  std::uint8_t ext_address[8];     // 2, least-significant byte first
  char manufacturer[32];           // 10
  char model_number[32];           // 42
  char model_version[16];          // 74
  char sensor_version[16];         // 90
  std::uint8_t unused_106[14];     // 106
  std::int32_t rssi;               // 120
  std::int32_t op_temperature;     // 124
  float op_voltage;                // 128
  std::uint8_t unused_132[16];     // 132
  std::int32_t event_interval;     // 148
  std::int32_t power_source;       // 152
  float battery;                   // 156
  std::uint8_t channel_count;      // 160
  std::uint8_t unused_161[140];    // 161
  char model_name[33];             // 301
  char device_name[16];            // 334, the name stored for the sensor
  std::uint8_t unused_350[94];     // 350
};
static_assert(sizeof(DeviceListEntry) == 444);
static_assert(offsetof(DeviceListEntry, manufacturer) == 10);
static_assert(offsetof(DeviceListEntry, model_number) == 42);
static_assert(offsetof(DeviceListEntry, model_version) == 74);
static_assert(offsetof(DeviceListEntry, sensor_version) == 90);
static_assert(offsetof(DeviceListEntry, rssi) == 120);
static_assert(offsetof(DeviceListEntry, event_interval) == 148);
static_assert(offsetof(DeviceListEntry, battery) == 156);
static_assert(offsetof(DeviceListEntry, channel_count) == 160);
static_assert(offsetof(DeviceListEntry, model_name) == 301);
static_assert(offsetof(DeviceListEntry, device_name) == 334);

constexpr int kDeviceListKey = 5888;
constexpr std::size_t kDeviceListEntries = 101;

struct DeviceSeen {
  std::string id, short_address, model, firmware, rf_firmware, manufacturer, name;
  int rssi = 0, interval = 0;
  float battery = 0;
};

// A used entry's view; nothing for a free entry (ExtAddress all zero).
std::optional<DeviceSeen> device_from_entry(const DeviceListEntry &entry);

// The used entries; nothing when the segment does not exist (the daemon is not running).
std::optional<std::vector<DeviceSeen>> read_device_list();

}  // namespace mqtt_agent
