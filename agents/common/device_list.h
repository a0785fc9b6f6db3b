// A read-only view of the daemon's DeviceList segment (System V key 5888: 101 entries of 444
// bytes, entry i for short address i), through a table of the fields shown. The fields are read
// byte by byte at their offsets (little-endian, each text bounded by its field), so a reader needs
// nothing of the daemon's headers; device_list.cpp checks the table against the daemon's layout
// when it is compiled. The segment is attached read-only: no reader ever writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agents {

constexpr int kDeviceListKey = 5888;
constexpr std::size_t kDeviceListEntries = 101;
constexpr std::size_t kDeviceListEntrySize = 444;
constexpr std::size_t kMaxChannels = 10;

struct EntryField {
  std::size_t offset;
  std::size_t size;
};

// The DeviceList fields shown, from the DeviceList layout table.
namespace device_list_field {
constexpr EntryField kShortAddress{0, 2};
constexpr EntryField kExtAddress{2, 8};
constexpr EntryField kModelNumber{42, 32};
constexpr EntryField kModelVersion{74, 16};
constexpr EntryField kSensorVersion{90, 16};
constexpr EntryField kRssi{120, 4};
constexpr EntryField kOpTemperature{124, 4};
constexpr EntryField kOpVoltage{128, 4};
constexpr EntryField kEventInterval{148, 4};
constexpr EntryField kPowerSource{152, 4};
constexpr EntryField kBattery{156, 4};
constexpr EntryField kChannelCount{160, 1};
constexpr EntryField kChannelTypes{161, 10};
constexpr EntryField kChannelUnits{171, 50};  // 5 bytes per channel
constexpr EntryField kChannelAlarm{221, 10};
constexpr EntryField kReportState{272, 1};
constexpr EntryField kModelName{301, 33};
constexpr EntryField kDeviceName{334, 16};
}  // namespace device_list_field

struct DeviceEntry {
  std::uint16_t short_address = 0;
  std::string ext_address;  // 16 hexadecimal digits, most-significant byte first
  std::string model_number, model_version, sensor_version, model_name, device_name;
  std::int32_t rssi = 0, op_temperature = 0, event_interval = 0, power_source = 0;
  float op_voltage = 0, battery = 0;
  std::uint8_t channel_count = 0, report_state = 0;
  std::uint8_t channel_types[kMaxChannels] = {};
  std::string channel_units[kMaxChannels];
  std::uint8_t channel_alarm[kMaxChannels] = {};
};

// One entry from its 444 bytes; nothing when the entry is free (its ExtAddress all zero).
std::optional<DeviceEntry> read_device_entry(const std::uint8_t *entry);

// The entries in use, in short-address order; nothing when the segment does not exist.
std::optional<std::vector<DeviceEntry>> read_device_list();

}  // namespace agents
