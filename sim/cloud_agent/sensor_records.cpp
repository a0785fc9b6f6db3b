#include <gateway_lib/middleware.h>
#include <gateway_lib/sensor_registry.h>

#include "cloud_agent.h"
#include "json_doc.h"

namespace sim {

namespace {

constexpr int kSensorParent = 0;
constexpr int kChannelList = 1;

}  // namespace

void note_sensor_report(const std::string &sensor_id, int type, const std::string &body) {
  if (!is_sensor_id(sensor_id)) return;
  const Json document = parse_json(body);
  if (type == kSensorParent) {
    if (!string_member(document.get(), "Parent").empty()) {
      register_sensor(sensor_id.c_str());
    } else {
      unregister_sensor(sensor_id.c_str());
      middleware_clear_sensor(kMiddlewareStore, sensor_id.c_str());
    }
    return;
  }
  if (type != kChannelList || document == nullptr || !json_object_is_type(document.get(), json_type_array)) return;
  middleware_clear_sensor(kMiddlewareStore, sensor_id.c_str());
  for (std::size_t i = 0; i < json_object_array_length(document.get()); ++i) {
    json_object *channel = json_object_array_get_idx(document.get(), i);
    middleware_add_channel(kMiddlewareStore, sensor_id.c_str(), string_member(channel, "N").c_str(),
                           string_member(channel, "T").c_str(), string_member(channel, "U").c_str());
  }
}

}  // namespace sim
