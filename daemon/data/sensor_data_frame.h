// Command 5, SensorData: a sensor's periodic live measurement.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data/channel_values.h"
#include "shared/device_list.h"
#include "shared/sensor_report.h"

namespace vorn::data {

struct SensorDataChannel {
  char unit[4];  // not terminated
  std::uint8_t type;
  std::uint16_t word_a;
  std::uint16_t word_b;
};

// Everything a data frame carries that the daemon uses, read and checked before anything is done.
struct SensorDataFields {
  std::uint16_t frame_ctl = 0;
  bool has_sensor_block = false;
  std::uint16_t extension_status = 0;
  std::uint16_t battery_raw = 0;
  std::uint8_t low_power = 0;
  std::uint8_t channel_count = 0;
  int blocks = 0;  // channel blocks in the frame: 4 for the fixed layouts, else the count
  SensorDataChannel channels[shared::kMaxChannels] = {};
  bool has_time_stamp = false;
  std::uint32_t time_stamp = 0;
  bool has_op_values = false;
  std::int8_t op_temperature = 0;
  std::int8_t op_voltage = 0;  // tenths of a volt
  std::int32_t report_type = 0;
};

// Reads a data frame laid out for `layout`. Null when it holds every block its FrameCtl
// announces; otherwise why it is refused. `total_length` (link header included) decides whether
// a ReportType byte follows the blocks.
const char *read_sensor_data(const std::uint8_t *app, std::size_t app_size, std::size_t total_length,
                             ChannelLayout layout, SensorDataFields &fields);

// Decodes the channels, time stamp, operating values and ReportType into the report and the
// entry (alarm flags, raw words while unversioned, time-sync flag, operating values), printing
// the frame's lines; then keeps power source, channels and battery in the entry.
void decode_sensor_data(const SensorDataFields &fields, ChannelLayout layout, std::uint16_t short_address,
                        const char *ext_address_text, std::int64_t now, shared::SensorReport &report,
                        shared::DeviceListEntry &entry);

}  // namespace vorn::data
