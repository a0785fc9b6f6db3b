#include "core/log_line.h"
#include "data/sensor_frame.h"

#include <cstdio>
#include <ctime>

namespace vorn::data {

void refuse_frame(const SensorFrame &frame, const char *why) {
  core::log_line("%s of %04X - %s (%zu bytes), dropped\n",
                 frame.command_name, frame.short_address, why, frame.total_length);
}

std::int64_t unix_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool clock_needs_setting(std::int64_t now, std::int64_t sensor_time, std::uint32_t last_time_sync) {
  constexpr std::int64_t kClockTolerance = 59;
  if (now <= kSensorEpoch) return false;
  const std::int64_t drift = now > sensor_time ? now - sensor_time : sensor_time - now;
  return drift > kClockTolerance || sensor_time - static_cast<std::int64_t>(last_time_sync) > kDay;
}

void copy_identity_texts(const shared::DeviceListEntry &entry, shared::SensorReport &report) {
  shared::store_text(report.manufacturer, entry.ManuFacturer);
  shared::store_text(report.model_number, entry.ModelNumber);
  shared::store_text(report.model_version, entry.ModelVersion);
  shared::store_text(report.sensor_version, entry.SensorVersion);
  shared::store_text(report.calibration_date, entry.SensorCalDate);
}

void keep_power_status(const shared::SensorReport &report, shared::DeviceListEntry &entry) {
  entry.status_word = report.status_word;
  entry.battery_raw = report.battery_raw;
  entry.status_extra = report.status_extra;
  entry.power_source = report.power_source;
  entry.battery = report.battery;
}

}  // namespace vorn::data
