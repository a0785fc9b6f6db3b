#include "core/ext_address.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace vorn::core {

void copy_ext_address(std::uint8_t *destination, const std::uint8_t *source) {
  std::memcpy(destination, source, kExtAddressSize);
}

int ext_address_is_set(const std::uint8_t *ext_address) {
  for (std::size_t i = 0; i < kExtAddressSize; ++i)
    if (ext_address[i] != 0) return 1;
  return 0;
}

void ext_address_text(const std::uint8_t *a, char *text) {
  std::snprintf(text, kExtAddressTextSize, "%02X%02X%02X%02X%02X%02X%02X%02X", a[7], a[6], a[5],
                a[4], a[3], a[2], a[1], a[0]);
}

bool is_ext_address_text(const char *text) {
  if (text == nullptr) return false;
  for (int i = 0; i < 16; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return text[16] == '\0';
}

static int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
}

bool parse_ext_address_text(const char *text, std::uint8_t *ext_address) {
  return is_ext_address_text(text) && parse_ext_address_digits(text, ext_address);
}

bool parse_ext_address_digits(const char *text, std::uint8_t *ext_address) {
  for (int i = 0; i < 16; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  for (int pair = 0; pair < 8; ++pair) {
    ext_address[7 - pair] = static_cast<std::uint8_t>(hex_digit_value(text[2 * pair]) * 16 +
                                                      hex_digit_value(text[2 * pair + 1]));
  }
  return true;
}

}  // namespace vorn::core
