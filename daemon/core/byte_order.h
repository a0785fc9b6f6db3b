// Little-endian fields of the collector link and of shared memory, read and written byte by byte
// (never through a cast pointer: the router's processor faults on unaligned words), and the
// number conversions of the values they carry.
#pragma once

#include <cstdint>

namespace vorn::core {

std::uint16_t read_le16(const std::uint8_t *p);
std::uint32_t read_le32(const std::uint8_t *p);
std::uint8_t *write_le16(std::uint8_t *p, std::uint16_t value);
std::uint8_t *write_le32(std::uint8_t *p, std::uint32_t value);

// Splits x into the two 16-bit fields the collector expects: the integer part (0 when negative)
// and the fraction in ten-thousandths, biased against rounding down. 12.34 -> 12, 3400.
struct FixedPoint {
  std::uint16_t integer;
  std::uint16_t fraction;
};
FixedPoint split_fixed_point(double x);

}  // namespace vorn::core
