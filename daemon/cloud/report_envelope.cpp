#include "cloud/report_envelope.h"

#include <libubus.h>

#include "cloud/bus_call.h"
#include "cloud/cloud_agent.h"
#include "core/daemon_state.h"

namespace vorn::cloud {

JsonPtr new_envelope(const char *sensor_id, int type) {
  JsonPtr envelope(json_object_new_object());
  add_string(envelope.get(), "ID", sensor_id);
  add_string(envelope.get(), "GatewayID", core::daemon_state.gateway_id);
  add_int(envelope.get(), "Type", type);
  return envelope;
}

int send_cloud_report(json_object *envelope, const char *sensor_id) {
  const char *text = json_text(envelope);
  if (core::daemon_state.cloud_agent_name == nullptr) return UBUS_STATUS_INVALID_ARGUMENT;
  return cloud_invoke(core::daemon_state.cloud_agent_name, "transmit", kSenderName, text, sensor_id);
}

int send_report(const char *sensor_id, int type, json_object *body) {
  JsonPtr envelope = new_envelope(sensor_id, type);
  add_string(envelope.get(), "Body", json_text(body));
  return send_cloud_report(envelope.get(), sensor_id);
}

}  // namespace vorn::cloud
