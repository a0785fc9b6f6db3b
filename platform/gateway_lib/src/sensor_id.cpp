#include "sensor_id.h"

#include <cctype>

namespace gwlib::sensor_id {

bool is_valid(const char *text) {
    if (text == nullptr) return false;
    for (std::size_t i = 0; i < kLength; ++i) {
        if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return false;  // also stops at '\0'
    }
    return text[kLength] == '\0';
}

std::optional<std::array<char, kLength + 1>> normalised(const char *text) {
    if (!is_valid(text)) return std::nullopt;
    std::array<char, kLength + 1> out{};
    for (std::size_t i = 0; i < kLength; ++i) {
        out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    return out;
}

}  // namespace gwlib::sensor_id
