// The DeviceList segment: one entry of working state per sensor, indexed by its short address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::shared {

struct DeviceListEntry {
  std::uint16_t ShortAddress;
  std::uint8_t ExtAddress[8];
  char ManuFacturer[32];
  char ModelNumber[32];
  char ModelVersion[16];
  char SensorVersion[16];
  char SensorCalDate[11];
  std::uint8_t reserved_117[3];
  std::int32_t rssi;
  std::int32_t op_temp;
  float op_voltage;
  std::uint32_t config_rsp_uptime;
  std::uint32_t last_time_sync;
  std::uint32_t last_info_report;
  std::uint32_t last_config_request;
  std::int32_t EventInterval;
  std::int32_t power_source;
  float battery;
  std::uint8_t channel_count;
  std::uint8_t channel_types[10];
  char channel_units[10][5];
  std::uint8_t channel_alarm[10];
  std::uint8_t reserved_231;
  std::uint16_t value_high[10];
  std::uint16_t value_low[10];
  std::uint8_t report_state;
  std::uint8_t join_mark;
  std::uint8_t time_sync_pending;
  std::uint8_t reserved_275[8];
  std::uint8_t status_32;
  std::uint16_t status_word;
  std::uint16_t battery_raw;
  std::uint16_t status_extra;
  char ManufacturerDate[11];
  char ModelName[33];
  char DeviceName[16];
  std::uint8_t reserved_350[2];
  std::uint32_t identity_word_1;
  std::uint32_t identity_word_2;
  std::uint16_t identity_half;
  std::uint8_t trailer_byte;
  std::uint8_t reserved_363;
  std::uint32_t trailer_word_1;
  std::uint32_t trailer_word_2;
  char oad_image_path[65];
  std::uint8_t reserved_437[3];
  std::uint32_t oad_image_size;
};
static_assert(sizeof(DeviceListEntry) == 444);
static_assert(offsetof(DeviceListEntry, ExtAddress) == 2);
static_assert(offsetof(DeviceListEntry, ManuFacturer) == 10);
static_assert(offsetof(DeviceListEntry, ModelNumber) == 42);
static_assert(offsetof(DeviceListEntry, ModelVersion) == 74);
static_assert(offsetof(DeviceListEntry, SensorVersion) == 90);
static_assert(offsetof(DeviceListEntry, SensorCalDate) == 106);
static_assert(offsetof(DeviceListEntry, rssi) == 120);
static_assert(offsetof(DeviceListEntry, op_temp) == 124);
static_assert(offsetof(DeviceListEntry, op_voltage) == 128);
static_assert(offsetof(DeviceListEntry, config_rsp_uptime) == 132);
static_assert(offsetof(DeviceListEntry, last_time_sync) == 136);
static_assert(offsetof(DeviceListEntry, last_info_report) == 140);
static_assert(offsetof(DeviceListEntry, last_config_request) == 144);
static_assert(offsetof(DeviceListEntry, EventInterval) == 148);
static_assert(offsetof(DeviceListEntry, power_source) == 152);
static_assert(offsetof(DeviceListEntry, battery) == 156);
static_assert(offsetof(DeviceListEntry, channel_count) == 160);
static_assert(offsetof(DeviceListEntry, channel_types) == 161);
static_assert(offsetof(DeviceListEntry, channel_units) == 171);
static_assert(offsetof(DeviceListEntry, channel_alarm) == 221);
static_assert(offsetof(DeviceListEntry, value_high) == 232);
static_assert(offsetof(DeviceListEntry, value_low) == 252);
static_assert(offsetof(DeviceListEntry, report_state) == 272);
static_assert(offsetof(DeviceListEntry, join_mark) == 273);
static_assert(offsetof(DeviceListEntry, time_sync_pending) == 274);
static_assert(offsetof(DeviceListEntry, status_32) == 283);
static_assert(offsetof(DeviceListEntry, status_word) == 284);
static_assert(offsetof(DeviceListEntry, battery_raw) == 286);
static_assert(offsetof(DeviceListEntry, status_extra) == 288);
static_assert(offsetof(DeviceListEntry, ManufacturerDate) == 290);
static_assert(offsetof(DeviceListEntry, ModelName) == 301);
static_assert(offsetof(DeviceListEntry, DeviceName) == 334);
static_assert(offsetof(DeviceListEntry, identity_word_1) == 352);
static_assert(offsetof(DeviceListEntry, identity_word_2) == 356);
static_assert(offsetof(DeviceListEntry, identity_half) == 360);
static_assert(offsetof(DeviceListEntry, trailer_byte) == 362);
static_assert(offsetof(DeviceListEntry, trailer_word_1) == 364);
static_assert(offsetof(DeviceListEntry, trailer_word_2) == 368);
static_assert(offsetof(DeviceListEntry, oad_image_path) == 372);
static_assert(offsetof(DeviceListEntry, oad_image_size) == 440);

constexpr int kDeviceListEntries = 101;  // entry 0 is never used
constexpr int kFirstShortAddress = 1;
constexpr int kLastShortAddress = 100;

struct DeviceListSegment {
  DeviceListEntry entries[kDeviceListEntries];
};
static_assert(sizeof(DeviceListSegment) == 44844);

inline bool is_device_index(unsigned short_address) {
  return short_address >= kFirstShortAddress && short_address <= kLastShortAddress;
}

// Copies a text into a fixed field, cut to fit with its terminator.
template <std::size_t N>
void store_text(char (&field)[N], const char *text) {
  std::size_t i = 0;
  for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
  for (; i < N; ++i) field[i] = '\0';
}

int device_list_add(std::uint16_t short_address, const std::uint8_t *ext_address);
int device_list_remove(std::uint16_t short_address, const std::uint8_t *ext_address);

}  // namespace vorn::shared
