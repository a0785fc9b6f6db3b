#include "device_list_reader.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstring>

namespace web {

namespace {

struct Field {
  std::size_t offset, size;
};

// Offsets of the fields shown, from the DeviceList layout.
constexpr Field kShortAddress{0, 2}, kExtAddress{2, 8}, kModelNumber{42, 32}, kSensorVersion{90, 16}, kRssi{120, 4},
    kEventInterval{148, 4}, kPowerSource{152, 4}, kBattery{156, 4}, kChannelCount{160, 1}, kChannelUnits{171, 50},
    kChannelAlarm{221, 10}, kReportState{272, 1}, kModelName{301, 33};
static_assert(kModelName.offset + kModelName.size <= kDeviceListEntrySize);

std::uint32_t word(const std::uint8_t *entry, Field field) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < field.size && i < 4; ++i) value |= static_cast<std::uint32_t>(entry[field.offset + i]) << (8 * i);
  return value;
}

std::string text(const std::uint8_t *entry, std::size_t offset, std::size_t size) {
  const char *start = reinterpret_cast<const char *>(entry + offset);
  std::string value(start, strnlen(start, size));
  for (char &c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // UTF-8 (a unit's degree sign) stays
  return value;
}

class ReadOnlyAttachment {
 public:
  explicit ReadOnlyAttachment(int id) : address_(shmat(id, nullptr, SHM_RDONLY)) {}
  ~ReadOnlyAttachment() {
    if (ok()) shmdt(address_);
  }
  ReadOnlyAttachment(const ReadOnlyAttachment &) = delete;
  ReadOnlyAttachment &operator=(const ReadOnlyAttachment &) = delete;
  bool ok() const { return address_ != reinterpret_cast<void *>(-1); }
  const std::uint8_t *bytes() const { return static_cast<const std::uint8_t *>(address_); }

 private:
  void *address_;
};

}  // namespace

std::optional<DeviceEntry> read_device_entry(const std::uint8_t *entry) {
  const std::uint8_t *ext = entry + kExtAddress.offset;
  bool used = false;
  for (std::size_t i = 0; i < 8; ++i) used |= ext[i] != 0;
  if (!used) return std::nullopt;
  DeviceEntry device;
  device.short_address = static_cast<std::uint16_t>(word(entry, kShortAddress));
  char id[17];
  std::snprintf(id, sizeof id, "%02X%02X%02X%02X%02X%02X%02X%02X", ext[7], ext[6], ext[5], ext[4], ext[3], ext[2], ext[1],
                ext[0]);
  device.id = id;
  device.model_number = text(entry, kModelNumber.offset, kModelNumber.size);
  device.model_name = text(entry, kModelName.offset, kModelName.size);
  device.sensor_version = text(entry, kSensorVersion.offset, kSensorVersion.size);
  device.rssi = static_cast<std::int32_t>(word(entry, kRssi));
  device.event_interval = static_cast<std::int32_t>(word(entry, kEventInterval));
  device.power_source = static_cast<std::int32_t>(word(entry, kPowerSource));
  const std::uint32_t battery_bits = word(entry, kBattery);
  std::memcpy(&device.battery, &battery_bits, sizeof device.battery);
  device.channel_count = entry[kChannelCount.offset];
  if (device.channel_count > kMaxChannels) device.channel_count = kMaxChannels;
  device.report_state = entry[kReportState.offset];
  for (int i = 0; i < kMaxChannels; ++i) {
    device.channel_alarm[i] = entry[kChannelAlarm.offset + i];
    device.channel_units[i] = text(entry, kChannelUnits.offset + 5 * i, 5);
  }
  return device;
}

std::optional<std::vector<DeviceEntry>> read_device_list() {
  const int id = shmget(kDeviceListKey, 0, 0);
  shmid_ds info{};
  if (id < 0 || shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz < kDeviceListEntries * kDeviceListEntrySize)
    return std::nullopt;
  const ReadOnlyAttachment segment(id);
  if (!segment.ok()) return std::nullopt;
  std::vector<DeviceEntry> devices;
  for (std::size_t index = 1; index < kDeviceListEntries; ++index)
    if (auto device = read_device_entry(segment.bytes() + index * kDeviceListEntrySize)) devices.push_back(std::move(*device));
  return devices;
}

}  // namespace web
