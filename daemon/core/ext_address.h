// A sensor's 8-byte extended address: kept in link order (least significant byte first), written
// as 16 hexadecimal digits (most significant first) wherever it names a sensor in text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::core {

constexpr std::size_t kExtAddressSize = 8;
constexpr std::size_t kExtAddressTextSize = 17;  // 16 hex digits and the terminator

void copy_ext_address(std::uint8_t *destination, const std::uint8_t *source);
int ext_address_is_set(const std::uint8_t *ext_address);
// Writes the 16-digit text form (most significant byte first) into `text` (17 bytes).
void ext_address_text(const std::uint8_t *ext_address, char *text);
// Parses 16 hexadecimal digits (most significant byte first) into the 8 link-order bytes.
// Returns false, leaving `ext_address` untouched, when the text is not exactly that.
bool parse_ext_address_text(const char *text, std::uint8_t *ext_address);
// The same for 16 digits that start a longer text (a configuration line, a request payload).
bool parse_ext_address_digits(const char *digits, std::uint8_t *ext_address);
// True when `text` is exactly 16 hexadecimal digits: the only form allowed into shell commands.
bool is_ext_address_text(const char *text);

}  // namespace vorn::core
