#include "cloud/measurement_document.h"

#include <gateway_lib/shm_channel.h>

#include <cstring>
#include <string>

#include "cloud/json_document.h"
#include "cloud/report_envelope.h"

namespace vorn::cloud {

namespace {

constexpr int kChannelWriteTimeout = 10;

}  // namespace

json_object *new_point(std::int64_t offset_seconds, float value) {
  json_object *point = json_object_new_object();
  add_int(point, "T", offset_seconds);
  // NaN fails the comparison and so is "NaN" too; -inf is turned into "NaN" by new_decimal.
  json_object_object_add(point, "V", value < kInvalidValueThreshold ? new_decimal(value, 2) : json_object_new_string("NaN"));
  return point;
}

json_object *new_channel_values(std::string_view name, json_object *points) {
  json_object *channel = json_object_new_object();
  add_string(channel, "Name", name);
  json_object_object_add(channel, "Values", points);
  return channel;
}

json_object *new_data_object(std::int32_t base_time, json_object *channels) {
  json_object *data = json_object_new_object();
  // Milliseconds need 64 bits (a 32-bit long overflows); written as a whole number.
  add_int(data, "BaseTime", static_cast<std::int64_t>(base_time) * 1000);
  json_object_object_add(data, "Values", channels);
  return data;
}

int deliver_measurements(const char *sensor_id, bool logged, json_object *data) {
  if (logged) {
    // The records also go to the sensor's "<id>_log" channel, shaped as a live body, so that the
    // programs beside the daemon can show what a logging sensor measured.
    JsonPtr published(json_object_new_object());
    add_string(published.get(), "ID", sensor_id);
    json_object_object_add(published.get(), "Data", json_object_get(data));
    const std::string channel = std::string(sensor_id) + "_log";
    const char *published_text = json_text(published.get());
    share_memory_write_noneblock(channel.c_str(), published_text, static_cast<int>(std::strlen(published_text)),
                                 kChannelWriteTimeout);
    JsonPtr body(json_object_new_array());
    json_object_array_add(body.get(), data);
    return send_report(sensor_id, kLogReport, body.get());
  }
  JsonPtr body(json_object_new_object());
  add_string(body.get(), "ID", sensor_id);
  json_object_object_add(body.get(), "Data", data);
  const char *text = json_text(body.get());
  share_memory_write_noneblock(sensor_id, text, static_cast<int>(std::strlen(text)), kChannelWriteTimeout);
  return 0;
}

}  // namespace vorn::cloud
