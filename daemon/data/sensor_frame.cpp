#include "data/sensor_frame.h"

#include <cstdio>
#include <ctime>

namespace vorn::data {

void refuse_frame(const SensorFrame &frame, const char *why) {
  std::printf("[%s] %ld: %s of %04X - %s (%zu bytes), dropped\n", core::timestamp_text(), core::uptime_seconds(),
              frame.command_name, frame.short_address, why, frame.total_length);
}

std::int64_t unix_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace vorn::data
