// Sensor id text: the 16 hexadecimal digits of a sensor's extended address.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace gwlib::sensor_id {

constexpr std::size_t kLength = 16;

// True when text is exactly 16 hexadecimal digits (and text is not null).
bool is_valid(const char *text);

// The id in upper case, ready to be a database key; nothing for a bad id.
std::optional<std::array<char, kLength + 1>> normalised(const char *text);

}  // namespace gwlib::sensor_id
