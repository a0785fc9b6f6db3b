// Channel values as sensors send them: fixed-point words, negative fixed-point words, IEEE-754
// bit patterns and error markers, in the layouts the sensors' firmware versions use.
#pragma once

#include <cstdint>

#include "shared/device_list.h"
#include "shared/sensor_report.h"

namespace vorn::data {

// How a sensor data frame lays its channels out, chosen by the sensor's radio firmware version.
enum class ChannelLayout {
  kUnversioned,  // no version known yet: four blocks, raw words kept until the first ConfigRsp
  kFixedFour,    // version 1.1.0.2: four blocks of fixed-point words
  kCurrent,      // every other version: one block per channel
};
ChannelLayout channel_layout(const char (&model_version)[16]);

constexpr std::uint16_t kErrorMarker = 0x7F80;  // high word of a channel in error
constexpr std::uint16_t kErrorRange = 0xFF00;   // high words from here on are errors too
constexpr std::uint8_t kCounterType = 4;        // a type whose values are never negative

struct ChannelError {
  const char *console_name;
  const char *alarm_name;
  const char *message;
};
const ChannelError &channel_error(std::uint16_t code);

// What a channel in error carries: 0x7F800000 plus its code, converted by value, so it is never
// below 2139095040.0 and the report builders show it as "NaN".
float error_value(std::uint16_t code);

struct ChannelReading {
  float value;
  std::uint16_t error_code;
  bool in_error;
};

// hi + lo / 10000.
float fixed_point_value(std::uint16_t hi, std::uint16_t lo);
// A two's-complement negative number split into whole and ten-thousandths parts.
float negative_fixed_point_value(std::uint16_t hi, std::uint16_t lo);
// The 32 bits hi:lo taken as a single-precision bit pattern.
float bit_pattern_value(std::uint16_t hi, std::uint16_t lo);

// Version 1.1.0.2 words.
ChannelReading decode_fixed_four(std::uint8_t type, std::uint16_t hi, std::uint16_t lo);
// Words of every other version; `ieee` when the sensor says its words are bit patterns.
ChannelReading decode_current(std::uint8_t type, std::uint16_t hi, std::uint16_t lo, bool ieee);
// Words kept while the version was unknown, decoded once it is known (no bit-pattern flag kept).
ChannelReading decode_stored(ChannelLayout layout, std::uint8_t type, std::uint16_t hi, std::uint16_t lo);
// A buffered record's words of a Data Frame Request: word A low, word B high, bit patterns only.
ChannelReading decode_record_value(std::uint16_t word_a, std::uint16_t word_b);

// Puts a reading of channel i into the report and keeps the channel's alarm flag: an error
// raises it (once: a raised or reported flag stays), a value clears it.
void keep_channel_reading(int channel, const ChannelReading &reading, shared::SensorReport &report,
                          shared::DeviceListEntry &entry);

// Decodes the raw words a sensor sent before its version was known (the entry's value_high and
// value_low, with the report's channel types and count) into the report, keeping the entry's
// alarm flags; errors are printed.
void decode_stored_values(shared::SensorReport &report, shared::DeviceListEntry &entry);

}  // namespace vorn::data
