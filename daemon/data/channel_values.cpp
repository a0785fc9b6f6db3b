#include "data/channel_values.h"

#include <cstdio>
#include <cstring>

namespace vorn::data {

ChannelLayout channel_layout(const char (&model_version)[16]) {
  char text[17] = {};
  std::memcpy(text, model_version, sizeof model_version);
  if (text[0] == '\0') return ChannelLayout::kUnversioned;
  int part[4];
  if (std::sscanf(text, "%d.%d.%d.%d", &part[0], &part[1], &part[2], &part[3]) == 4 && part[0] == 1 &&
      part[1] == 1 && part[2] == 0 && part[3] == 2)
    return ChannelLayout::kFixedFour;
  return ChannelLayout::kCurrent;
}

const ChannelError &channel_error(std::uint16_t code) {
  static const ChannelError kErrors[] = {
      {"NAN_VALUE", "INVALID", "Invalid data."},
      {"OPEN", "OPEN", "The sensor device is 'open' (disconnected)."},
      {"SHORT", "SHORT", "There has been a short detected on the sensor."},
      {"RANGE", "OUT_OF_RANGE", "The measured value is outside of the stated measurement range."},
  };
  static const ChannelError kOther = {"INVALID", "INVALID", "Invalid data."};
  return code < 4 ? kErrors[code] : kOther;
}

float error_value(std::uint16_t code) { return static_cast<float>(0x7F800000u + code); }

float fixed_point_value(std::uint16_t hi, std::uint16_t lo) { return static_cast<float>(hi + lo / 10000.0); }

float negative_fixed_point_value(std::uint16_t hi, std::uint16_t lo) {
  const double fraction = ((65536 - lo) % 65536) / 10000.0;
  const double whole = (65536 - hi) % 65536;
  return static_cast<float>(-(fraction + whole));
}

float bit_pattern_value(std::uint16_t hi, std::uint16_t lo) {
  const std::uint32_t bits = (static_cast<std::uint32_t>(hi) << 16) | lo;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

namespace {

ChannelReading error_reading(std::uint16_t code) { return {error_value(code), code, true}; }
ChannelReading value_reading(float value) { return {value, 0, false}; }
bool negative(std::uint16_t hi) { return (hi & 0x8000) != 0; }

}  // namespace

ChannelReading decode_fixed_four(std::uint8_t type, std::uint16_t hi, std::uint16_t lo) {
  if (hi == kErrorMarker) return error_reading(lo);
  if (type != kCounterType && negative(hi)) return value_reading(negative_fixed_point_value(hi, lo));
  return value_reading(fixed_point_value(hi, lo));
}

ChannelReading decode_current(std::uint8_t type, std::uint16_t hi, std::uint16_t lo, bool ieee) {
  if (hi == kErrorMarker || hi >= kErrorRange) return error_reading(lo);
  if (ieee || (type != kCounterType && negative(hi))) return value_reading(bit_pattern_value(hi, lo));
  return value_reading(fixed_point_value(hi, lo));
}

ChannelReading decode_stored(ChannelLayout layout, std::uint8_t type, std::uint16_t hi, std::uint16_t lo) {
  return layout == ChannelLayout::kFixedFour ? decode_fixed_four(type, hi, lo) : decode_current(type, hi, lo, false);
}

ChannelReading decode_record_value(std::uint16_t word_a, std::uint16_t word_b) {
  if (word_b == kErrorMarker || word_b >= kErrorRange) return error_reading(word_a);
  return value_reading(bit_pattern_value(word_b, word_a));
}

void keep_channel_reading(int channel, const ChannelReading &reading, shared::SensorReport &report,
                          shared::DeviceListEntry &entry) {
  report.values[channel] = reading.value;
  report.error_codes[channel] = reading.error_code;
  if (!reading.in_error) entry.channel_alarm[channel] = 0;
  else if (entry.channel_alarm[channel] == 0) entry.channel_alarm[channel] = 1;
}

void decode_stored_values(shared::SensorReport &report, shared::DeviceListEntry &entry) {
  const ChannelLayout layout = channel_layout(entry.ModelVersion);
  int count = report.channel_count < shared::kMaxChannels ? report.channel_count : shared::kMaxChannels;
  if (layout == ChannelLayout::kFixedFour && count > 4) count = 4;
  for (int i = 0; i < count; ++i) {
    const std::uint16_t hi = entry.value_high[i], lo = entry.value_low[i];
    const std::uint8_t type = report.channel_types[i];
    const ChannelReading reading = decode_stored(layout, type, hi, lo);
    if (reading.in_error) {
      if (layout == ChannelLayout::kFixedFour) std::printf("\t[%d] 0x%04X%04X ", i, hi, lo);
      else std::printf("\t[%d] 0x%02x 0x%04X%04X ", i, type, hi, lo);
      std::printf("%s ", channel_error(reading.error_code).console_name);
      std::printf("%s\n", report.channel_units[i]);
    }
    keep_channel_reading(i, reading, report, entry);
  }
}

}  // namespace vorn::data
