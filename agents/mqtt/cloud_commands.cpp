#include "cloud_commands.h"

#include <cstdint>
#include <limits>

#include "json.h"
#include "sensor_id.h"

namespace mqtt_agent {

namespace {

// What a command needs in its payload, and how it goes into the event.
enum class Value {
  none,        // no values: the cloud key with null
  sensor,      // "id": a known sensor's 16-digit id, the cloud key's value
  interval,    // "id" as above and "interval": seconds, 1..2^31-1, as the decimal text "TimeBase"
  enable,      // "enable": true or false, the cloud key's integer 1 or 0
  short_only,  // "short": 1..100, the cloud key's integer
  short_file,  // "short" as above and "file": the firmware file, at most 126 characters ("OADFile")
  file,        // "file": at most 127 characters, the cloud key's string
};

struct CommandRow {
  const char *topic;
  const char *key;
  Value value;
};

const CommandRow kCommands[] = {
    {"permit_join", "JoinNetwork_Enable", Value::enable},
    {"remove", "RemoveDev", Value::sensor},
    {"set_interval", "SetEventTimer", Value::interval},
    {"get_interval", "GetEventTimer", Value::sensor},
    {"get_device_list", "GetDevList", Value::none},
    {"set_device_value", "SetDevVal", Value::sensor},
    {"get_device_value", "GetDevVal", Value::sensor},
    {"get_oad_file", "GetOADFile", Value::file},
    {"sensor_oad", "SensorOADSelect", Value::short_file},
    {"msp430_oad", "Msp430OADSelect", Value::short_file},
    {"cancel_msp430_oad", "CancelMsp430OAD", Value::short_only},
    {"cancel_rf_oad", "CancelRFOAD", Value::short_only},
    {"get_oad_status", "GetOADStatus", Value::short_only},
};

CommandCheck refuse(const std::string &reason) { return CommandCheck{false, "", reason}; }

bool is_integer(json_object *value) { return value != nullptr && json_object_is_type(value, json_type_int); }

// A file name for the collector: printable ASCII, no quote or backslash, within `limit`.
bool file_name_fits(const std::string &name, std::size_t limit) {
  if (name.empty() || name.size() > limit) return false;
  for (char c : name)
    if (c < 0x21 || c > 0x7E || c == '"' || c == '\\') return false;
  return true;
}

// Checks the sensor id member; empty reason when fine.
std::string check_sensor(json_object *payload, const SensorKnown &known, std::string &id) {
  const auto text = string_member(payload, "id");
  if (!text) return has_member(payload, "id") ? "\"id\" must be a string" : "missing \"id\"";
  if (!is_sensor_id(*text)) return "\"id\" must be 16 hexadecimal digits";
  id = upper_sensor_id(*text);
  if (known && !known(id)) return "unknown sensor " + id;
  return "";
}

std::string check_short(json_object *payload, int &value) {
  json_object *member_value = member(payload, "short");
  if (member_value == nullptr) return "missing \"short\"";
  if (!is_integer(member_value)) return "\"short\" must be an integer";
  const std::int64_t number = json_object_get_int64(member_value);
  if (number < 1 || number > 100) return "\"short\" must be 1 to 100";
  value = static_cast<int>(number);
  return "";
}

std::string check_file(json_object *payload, std::size_t limit, std::string &file) {
  const auto text = string_member(payload, "file");
  if (!text) return has_member(payload, "file") ? "\"file\" must be a string" : "missing \"file\"";
  if (!file_name_fits(*text, limit))
    return "\"file\" must be 1 to " + std::to_string(limit) + " printable characters without quotes";
  file = *text;
  return "";
}

std::string check_interval(json_object *payload, std::int64_t &seconds) {
  json_object *value = member(payload, "interval");
  if (value == nullptr) return "missing \"interval\"";
  if (!is_integer(value)) return "\"interval\" must be a whole number of seconds";
  seconds = json_object_get_int64(value);
  if (seconds < 1 || seconds > std::numeric_limits<std::int32_t>::max())
    return "\"interval\" must be 1 to 2147483647 seconds";
  return "";
}

CommandCheck build(const CommandRow &row, json_object *payload, const SensorKnown &known) {
  const Json event(json_object_new_object());
  std::string reason, id, file;
  std::int64_t seconds = 0;
  int short_address = 0;
  switch (row.value) {
    case Value::none:
      json_object_object_add(event.get(), row.key, nullptr);
      break;
    case Value::sensor:
      reason = check_sensor(payload, known, id);
      json_object_object_add(event.get(), row.key, json_object_new_string(id.c_str()));
      break;
    case Value::interval:
      reason = check_sensor(payload, known, id);
      if (reason.empty()) reason = check_interval(payload, seconds);
      json_object_object_add(event.get(), row.key, json_object_new_string(id.c_str()));
      json_object_object_add(event.get(), "TimeBase", json_object_new_string(std::to_string(seconds).c_str()));
      break;
    case Value::enable: {
      json_object *enable = member(payload, "enable");
      if (enable == nullptr) reason = "missing \"enable\"";
      else if (!json_object_is_type(enable, json_type_boolean)) reason = "\"enable\" must be true or false";
      json_object_object_add(event.get(), row.key, json_object_new_int(json_object_get_boolean(enable) ? 1 : 0));
      break;
    }
    case Value::short_only:
      reason = check_short(payload, short_address);
      json_object_object_add(event.get(), row.key, json_object_new_int(short_address));
      break;
    case Value::short_file:
      reason = check_short(payload, short_address);
      if (reason.empty()) reason = check_file(payload, 126, file);
      json_object_object_add(event.get(), row.key, json_object_new_int(short_address));
      json_object_object_add(event.get(), "OADFile", json_object_new_string(file.c_str()));
      break;
    case Value::file:
      reason = check_file(payload, 127, file);
      json_object_object_add(event.get(), row.key, json_object_new_string(file.c_str()));
      break;
  }
  if (!reason.empty()) return refuse(reason);
  return CommandCheck{true, json_text(event.get()), ""};
}

// An empty payload counts as an empty object, so commands without values need no body.
Json payload_object(const std::string &payload) {
  if (payload.find_first_not_of(" \t\r\n") == std::string::npos) return Json(json_object_new_object());
  Json parsed = parse_json(payload);
  if (parsed == nullptr || !json_object_is_type(parsed.get(), json_type_object)) return nullptr;
  return parsed;
}

}  // namespace

CommandCheck check_bridge_request(const std::string &command, const std::string &payload, const SensorKnown &known) {
  for (const CommandRow &row : kCommands) {
    if (command != row.topic) continue;
    const Json object = payload_object(payload);
    if (object == nullptr) return refuse("the payload must be a JSON object");
    return build(row, object.get(), known);
  }
  return refuse("unknown command \"" + command + "\"");
}

CommandCheck check_set_request(const std::string &sensor_id, const std::string &payload, const SensorKnown &known) {
  const Json object = payload_object(payload);
  if (object == nullptr) return refuse("the payload must be a JSON object");
  if (!has_member(object.get(), "interval")) return refuse("nothing to set: only \"interval\" can be set");
  json_object_object_add(object.get(), "id", json_object_new_string(sensor_id.c_str()));
  return build(kCommands[2], object.get(), known);
}

std::vector<std::string> bridge_command_names() {
  std::vector<std::string> names;
  for (const CommandRow &row : kCommands) names.emplace_back(row.topic);
  return names;
}

}  // namespace mqtt_agent
