// The document layout both measurement reports share:
//   data object {"BaseTime": ms, "Values": [channel...]}, channel {"Name", "Values": [point...]},
//   point {"T": seconds from the base time, "V": value with two decimals, or "NaN"}.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string_view>

namespace vorn::cloud {

// Channel errors are stored as 2139095040 (0x7F800000 converted by value) plus the error code;
// every value from there on is no measurement.
constexpr float kInvalidValueThreshold = 2139095040.0f;

json_object *new_point(std::int64_t offset_seconds, float value);
json_object *new_channel_values(std::string_view name, json_object *points);
json_object *new_data_object(std::int32_t base_time, json_object *channels);

// Delivers a data object (and takes it): live data as {"ID": sensor id, "Data": data} to the
// shared-memory channel named by the sensor id; logged data as a type 9 report with the body
// [data] to the cloud agent. The agent call's result for logged data, else 0.
int deliver_measurements(const char *sensor_id, bool logged, json_object *data);

}  // namespace vorn::cloud
