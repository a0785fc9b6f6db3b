// A token bucket: `burst` requests at once, then `per_second` sustained.
#pragma once

#include <algorithm>
#include <cstdint>

namespace mqtt_agent {

class RateLimit {
 public:
  RateLimit(int per_second, int burst) : per_second_(per_second), burst_(burst), tokens_(burst * 1000LL) {}

  // Takes one request at `now_ms` (a monotonic clock); false when the bucket is empty.
  bool take(std::int64_t now_ms) {
    if (last_ms_ != 0) tokens_ = std::min<std::int64_t>(burst_ * 1000LL, tokens_ + (now_ms - last_ms_) * per_second_);
    last_ms_ = now_ms;
    if (tokens_ < 1000) return false;
    tokens_ -= 1000;
    return true;
  }

 private:
  std::int64_t per_second_, burst_;
  std::int64_t tokens_;  // thousandths of a request
  std::int64_t last_ms_ = 0;
};

}  // namespace mqtt_agent
