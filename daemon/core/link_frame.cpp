#include "core/link_frame.h"

#include <cmath>
#include <cstdint>

namespace vorn::core {

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
