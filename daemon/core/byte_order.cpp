#include "core/byte_order.h"

#include <cmath>
#include <cstdint>

namespace vorn::core {

std::uint16_t read_le16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t read_le32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint8_t *write_le16(std::uint8_t *p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  return p + 2;
}

std::uint8_t *write_le32(std::uint8_t *p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return p + 4;
}

namespace {

// Converts like a C cast would for in-range values, but saturates instead of invoking undefined
// behaviour for values a sensor or the cloud might send (huge, negative, NaN).
std::uint32_t to_uint32_saturating(double v) {
  if (!(v > 0)) return 0;  // also NaN
  if (v >= 4294967295.0) return UINT32_MAX;
  return static_cast<std::uint32_t>(v);
}

std::int32_t to_int32_saturating(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

}  // namespace

FixedPoint split_fixed_point(double x) {
  std::uint32_t integer = to_uint32_saturating(std::trunc(x));
  // The bias only guards against a fraction such as 0.34 being held as 0.33999...; added before
  // scaling it would raise every fraction by one unit (12.34 would travel as 3401).
  std::int32_t fraction = to_int32_saturating((x - integer) * 10000 + 0.0001);
  return {static_cast<std::uint16_t>(integer), static_cast<std::uint16_t>(fraction)};
}

}  // namespace vorn::core
