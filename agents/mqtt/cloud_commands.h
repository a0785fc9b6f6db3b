// MQTT requests turned into the daemon's cloud commands (the "vorn_mgr" bus event), after checking
// them: one table row per command names its topic, its cloud key and the values it needs.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mqtt_agent {

// What the agent answers from what it holds, beside or instead of a command to the daemon.
enum class Answer {
  none,         // the daemon's command only
  devices,      // the sensors present, as bridge/devices
  interval,     // the sensor's event interval, reported and wanted
  values,       // the sensor's last values (beside the daemon's command that asks for fresh ones)
  health,       // whether the agent, the daemon and the queue are well
  info,         // bridge/info
};

struct CommandCheck {
  bool ok = false;
  std::string event;   // the bus event's JSON object, when ok and the daemon is to get a command
  std::string reason;  // why it was refused, when not ok
  std::string data;    // the request's values as understood: a JSON object
  std::string id;      // the sensor the request names, if any
  Answer answer = Answer::none;
};

// Tells whether the daemon knows a sensor (has a short address for it in sensorlist).
using SensorKnown = std::function<bool(const std::string &sensor_id)>;
// The id of the sensor stored under this name; "" when none or several.
using SensorNamed = std::function<std::string(const std::string &name)>;

// A request on <base>/bridge/request/<command> with its payload. Where the conventions
// home-automation users know allow it ("device/remove"), the sensor may be named by its stored name.
CommandCheck check_bridge_request(const std::string &command, const std::string &payload, const SensorKnown &known,
                                  const SensorNamed &named = {});

// A message on <base>/<sensor id>/set: {"interval": S} becomes the interval command.
CommandCheck check_set_request(const std::string &sensor_id, const std::string &payload, const SensorKnown &known);

// The request's "transaction" member as JSON text, to be echoed in the response; "" when none.
std::string transaction_of(const std::string &payload);

// A response: {"data":{...},"status":"ok"} or {"data":{},"status":"error","error":"..."}, with
// "transaction" when the request had one. `data` is a JSON object's text ("" for {}).
std::string response_envelope(bool ok, const std::string &data, const std::string &error, const std::string &transaction);

// The command names of the request topics, in table order.
std::vector<std::string> bridge_command_names();

}  // namespace mqtt_agent
