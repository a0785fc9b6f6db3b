#include "common/device_list.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <algorithm>
#include <cstring>

#include "shared/device_list.h"
#include "shared/segments.h"
#include "shared/sensor_report.h"

namespace agents {

namespace {

// The table above against the daemon's own layout: a field moved or resized there fails here.
using vorn::shared::DeviceListEntry;
#define VORN_SAME_FIELD(table, member)                                    \
  static_assert(device_list_field::table.offset == offsetof(DeviceListEntry, member) && \
                device_list_field::table.size == sizeof(DeviceListEntry::member))
VORN_SAME_FIELD(kShortAddress, ShortAddress);
VORN_SAME_FIELD(kExtAddress, ExtAddress);
VORN_SAME_FIELD(kModelNumber, ModelNumber);
VORN_SAME_FIELD(kModelVersion, ModelVersion);
VORN_SAME_FIELD(kSensorVersion, SensorVersion);
VORN_SAME_FIELD(kRssi, rssi);
VORN_SAME_FIELD(kOpTemperature, op_temp);
VORN_SAME_FIELD(kOpVoltage, op_voltage);
VORN_SAME_FIELD(kEventInterval, EventInterval);
VORN_SAME_FIELD(kPowerSource, power_source);
VORN_SAME_FIELD(kBattery, battery);
VORN_SAME_FIELD(kChannelCount, channel_count);
VORN_SAME_FIELD(kChannelTypes, channel_types);
VORN_SAME_FIELD(kChannelUnits, channel_units);
VORN_SAME_FIELD(kChannelAlarm, channel_alarm);
VORN_SAME_FIELD(kReportState, report_state);
VORN_SAME_FIELD(kModelName, ModelName);
VORN_SAME_FIELD(kDeviceName, DeviceName);
#undef VORN_SAME_FIELD
static_assert(sizeof(DeviceListEntry) == kDeviceListEntrySize);
static_assert(vorn::shared::kDeviceListEntries == static_cast<int>(kDeviceListEntries));
static_assert(vorn::shared::kDeviceListKey == kDeviceListKey);
static_assert(vorn::shared::kMaxChannels == static_cast<int>(kMaxChannels));

std::uint32_t unsigned_field(const std::uint8_t *entry, EntryField field) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < field.size && i < 4; ++i) value |= static_cast<std::uint32_t>(entry[field.offset + i]) << (8 * i);
  return value;
}

std::int32_t signed_field(const std::uint8_t *entry, EntryField field) {
  return static_cast<std::int32_t>(unsigned_field(entry, field));
}

float float_field(const std::uint8_t *entry, EntryField field) {
  const std::uint32_t bits = unsigned_field(entry, field);
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// A text field up to its first zero byte, never past the field.
std::string text_field(const std::uint8_t *entry, EntryField field) {
  const char *start = reinterpret_cast<const char *>(entry + field.offset);
  std::string value(start, strnlen(start, field.size));
  for (char &c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // UTF-8 (a unit's degree sign) stays
  return value;
}

// Attaches the segment read-only for the life of the object.
class Attachment {
 public:
  explicit Attachment(int id) : address_(shmat(id, nullptr, SHM_RDONLY)) {}
  ~Attachment() {
    if (ok()) shmdt(address_);
  }
  Attachment(const Attachment &) = delete;
  Attachment &operator=(const Attachment &) = delete;
  bool ok() const { return address_ != reinterpret_cast<void *>(-1); }
  const std::uint8_t *bytes() const { return static_cast<const std::uint8_t *>(address_); }

 private:
  void *address_;
};

}  // namespace

std::optional<DeviceEntry> read_device_entry(const std::uint8_t *entry) {
  namespace f = device_list_field;
  const std::uint8_t *ext = entry + f::kExtAddress.offset;
  bool set = false;
  for (std::size_t i = 0; i < 8; ++i) set |= ext[i] != 0;
  if (!set) return std::nullopt;
  DeviceEntry device;
  device.short_address = static_cast<std::uint16_t>(unsigned_field(entry, f::kShortAddress));
  char text[17];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X", ext[7], ext[6], ext[5], ext[4], ext[3], ext[2],
                ext[1], ext[0]);
  device.ext_address = text;
  device.model_number = text_field(entry, f::kModelNumber);
  device.model_version = text_field(entry, f::kModelVersion);
  device.sensor_version = text_field(entry, f::kSensorVersion);
  device.model_name = text_field(entry, f::kModelName);
  device.device_name = text_field(entry, f::kDeviceName);
  device.rssi = signed_field(entry, f::kRssi);
  device.op_temperature = signed_field(entry, f::kOpTemperature);
  device.op_voltage = float_field(entry, f::kOpVoltage);
  device.event_interval = signed_field(entry, f::kEventInterval);
  device.power_source = signed_field(entry, f::kPowerSource);
  device.battery = float_field(entry, f::kBattery);
  device.report_state = entry[f::kReportState.offset];
  device.channel_count = std::min<std::uint8_t>(entry[f::kChannelCount.offset], kMaxChannels);
  for (std::size_t i = 0; i < kMaxChannels; ++i) {
    device.channel_types[i] = entry[f::kChannelTypes.offset + i];
    device.channel_alarm[i] = entry[f::kChannelAlarm.offset + i];
    device.channel_units[i] = text_field(entry, EntryField{f::kChannelUnits.offset + 5 * i, 5});
  }
  return device;
}

std::optional<std::vector<DeviceEntry>> read_device_list() {
  const int id = shmget(kDeviceListKey, 0, 0);
  shmid_ds info{};
  if (id < 0 || shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz < kDeviceListEntries * kDeviceListEntrySize)
    return std::nullopt;
  const Attachment segment(id);
  if (!segment.ok()) return std::nullopt;
  std::vector<DeviceEntry> devices;
  for (std::size_t index = 1; index < kDeviceListEntries; ++index)
    if (auto device = read_device_entry(segment.bytes() + index * kDeviceListEntrySize)) devices.push_back(*device);
  return devices;
}

}  // namespace agents
