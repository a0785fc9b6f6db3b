// The working record of one data indication: filled by the sensor-frame handlers, read by the
// reply builders and the cloud report builders.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::shared {

constexpr int kMaxChannels = 10;
constexpr int kSensorIdSize = 32;

// One channel as a sensor describes it (Identification Request): name, type code and unit code,
// each text with its terminator. This 23-byte layout is also what goes to shared memory.
struct ChannelMeta {
  char name[17];
  std::uint8_t type;
  char unit[5];
};
static_assert(sizeof(ChannelMeta) == 23);
static_assert(offsetof(ChannelMeta, type) == 17 && offsetof(ChannelMeta, unit) == 18);

// One buffered record of a Data Frame Request: its Unix time and one value and one error code
// per channel (arrays of the report's channel count, owned by the handler).
struct DataRecord {
  std::int32_t time;
  float *values;
  std::uint16_t *error_codes;
};

struct SensorReport {
  std::int32_t ReportType;  // 0 live data, otherwise logged data
  char sensor_id[kSensorIdSize];
  char manufacturer[32];
  char model_number[32];
  char model_version[16];
  char sensor_version[16];
  char calibration_date[12];
  std::int32_t rssi;
  std::int32_t op_temperature;
  float op_voltage;
  std::int32_t event_interval;
  std::int32_t power_source;
  float battery;
  std::uint16_t frame_control;
  std::uint8_t channel_count;
  std::uint8_t channel_types[kMaxChannels];
  char channel_units[kMaxChannels][5];
  float values[kMaxChannels];
  std::uint16_t error_codes[kMaxChannels];
  std::uint8_t sensor_tag[8];
  std::uint16_t status_word;
  std::uint16_t battery_raw;
  std::uint16_t status_extra;
  ChannelMeta *channel_meta;  // owned by the handler
  std::uint8_t no_alarm;
  std::uint8_t status_byte;
  std::uint8_t record_count;
  DataRecord *records;  // owned by the handler
  std::int32_t base_time;
  std::uint16_t reply_value;
  char manufacturing_date[11];
  char model_name[33];
  char device_name[17];
  std::uint32_t identity_word_1;
  std::uint32_t identity_word_2;
  std::uint16_t identity_half;
  std::uint8_t trailer_byte;
  std::uint32_t trailer_word_1;
  std::uint32_t trailer_word_2;
};

}  // namespace vorn::shared
