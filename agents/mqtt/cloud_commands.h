// MQTT requests turned into the daemon's cloud commands (the "vorn_mgr" bus event), after checking
// them: one table row per command names its topic, its cloud key and the values it needs.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mqtt_agent {

struct CommandCheck {
  bool ok = false;
  std::string event;   // the bus event's JSON object, when ok
  std::string reason;  // why it was refused, when not ok
};

// Tells whether the daemon knows a sensor (has a short address for it in sensorlist).
using SensorKnown = std::function<bool(const std::string &sensor_id)>;

// A request on <base>/bridge/request/<command> with its payload.
CommandCheck check_bridge_request(const std::string &command, const std::string &payload, const SensorKnown &known);

// A message on <base>/<sensor id>/set: {"interval": S} becomes the interval command.
CommandCheck check_set_request(const std::string &sensor_id, const std::string &payload, const SensorKnown &known);

// The command names of the request topics, in table order.
std::vector<std::string> bridge_command_names();

}  // namespace mqtt_agent
