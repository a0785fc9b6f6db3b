// "obtain": hands out the message held for a sensor, the file /tmp/cloud_agent/hold/<id>.json,
// unchanged, and deletes the file before it answers. Nothing held: the answer is an empty object.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bus_json.h"
#include "cloud_agent.h"

namespace sim {

bool is_sensor_id(const std::string &id) {
  if (id.size() != 16) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string hold_path(const std::string &sensor_id) { return std::string(kHoldDirectory) + "/" + sensor_id + ".json"; }

int method_obtain(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  const Json fetch = parse_json(string_member(arguments.get(), "msg"));
  const std::string id = string_member(fetch.get(), "ID");
  std::string held = "{}";
  if (is_sensor_id(id)) {
    const std::string path = hold_path(id);
    std::ifstream in(path);
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      held = text.str();
      unlink(path.c_str());
    }
  }
  const Json reply(json_object_new_object());
  json_object_object_add(reply.get(), "rc", json_object_new_string(held.c_str()));
  return reply_json(context, request, reply.get());
}

}  // namespace sim
