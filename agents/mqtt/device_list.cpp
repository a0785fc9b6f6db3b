#include "device_list.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace mqtt_agent {

namespace {

// A text field cut at its terminator or its size, printable characters only.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  std::string out;
  for (std::size_t i = 0; i < N && field[i] != '\0'; ++i)
    if (field[i] >= 0x20 && field[i] < 0x7F) out += field[i];
  return out;
}

struct Detach {
  void operator()(const void *address) const { shmdt(address); }
};

}  // namespace

std::optional<DeviceSeen> device_from_entry(const DeviceListEntry &entry) {
  bool used = false;
  for (std::uint8_t byte : entry.ext_address) used = used || byte != 0;
  if (!used) return std::nullopt;
  DeviceSeen seen;
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", entry.ext_address[7 - i]);
  seen.id = text;
  std::snprintf(text, sizeof text, "%04X", entry.short_address[0] | entry.short_address[1] << 8);
  seen.short_address = text;
  seen.model = field_text(entry.model_name);
  if (seen.model.empty()) seen.model = field_text(entry.model_number);
  seen.manufacturer = field_text(entry.manufacturer);
  seen.name = field_text(entry.device_name);
  seen.firmware = field_text(entry.sensor_version);
  seen.rf_firmware = field_text(entry.model_version);
  seen.rssi = entry.rssi;
  seen.interval = entry.event_interval;
  seen.battery = entry.battery;
  return seen;
}

std::optional<std::vector<DeviceSeen>> read_device_list() {
  const int id = shmget(kDeviceListKey, 0, 0);
  if (id < 0) return std::nullopt;
  shmid_ds info{};
  if (shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz < kDeviceListEntries * sizeof(DeviceListEntry)) return std::nullopt;
  void *address = shmat(id, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void *>(-1)) return std::nullopt;
  const std::unique_ptr<const void, Detach> attached(address);
  std::vector<DeviceSeen> devices;
  for (std::size_t i = 1; i < kDeviceListEntries; ++i) {
    // A copy first: the daemon's handlers write entries while we read.
    DeviceListEntry entry;
    std::memcpy(&entry, static_cast<const std::uint8_t *>(address) + i * sizeof(DeviceListEntry), sizeof entry);
    if (auto seen = device_from_entry(entry)) devices.push_back(std::move(*seen));
  }
  return devices;
}

}  // namespace mqtt_agent
