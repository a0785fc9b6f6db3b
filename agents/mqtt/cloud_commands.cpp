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
  sensor_or_name,  // "id" as above, or the name stored for the sensor
  interval,    // "id" as above and "interval": seconds, 1..2^31-1, as the decimal text "TimeBase"
  join,        // "enable" or "value": true or false, or "time": seconds (0 closes); the cloud key's 1 or 0
  short_only,  // "short": 1..100, the cloud key's integer
  short_file,  // "short" as above and "file": the firmware file, at most 126 characters ("OADFile")
  file,        // "file": at most 127 characters, the cloud key's string
};

struct CommandRow {
  const char *topic;
  const char *key;  // the daemon's command; null when the agent answers alone
  Value value;
  Answer answer = Answer::none;
};

// The collector opens the network for this long whatever the request asks.
constexpr int kJoinSeconds = 120;

const CommandRow kCommands[] = {
    {"permit_join", "JoinNetwork_Enable", Value::join},
    {"remove", "RemoveDev", Value::sensor},
    {"device/remove", "RemoveDev", Value::sensor_or_name},
    {"set_interval", "SetEventTimer", Value::interval},
    {"get_interval", nullptr, Value::sensor, Answer::interval},
    {"get_device_list", nullptr, Value::none, Answer::devices},
    {"set_device_value", "SetDevVal", Value::sensor},
    {"get_device_value", "GetDevVal", Value::sensor, Answer::values},
    {"get_oad_file", "GetOADFile", Value::file},
    {"sensor_oad", "SensorOADSelect", Value::short_file},
    {"msp430_oad", "Msp430OADSelect", Value::short_file},
    {"cancel_msp430_oad", "CancelMsp430OAD", Value::short_only},
    {"cancel_rf_oad", "CancelRFOAD", Value::short_only},
    {"get_oad_status", "GetOADStatus", Value::short_only},
    {"health_check", nullptr, Value::none, Answer::health},
    {"info", nullptr, Value::none, Answer::info},
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

// Checks the sensor id member (or, with `named`, a sensor's stored name); empty reason when fine.
std::string check_sensor(json_object *payload, const SensorKnown &known, std::string &id, const SensorNamed &named = {}) {
  const auto text = string_member(payload, "id");
  if (!text) return has_member(payload, "id") ? "\"id\" must be a string" : "missing \"id\"";
  if (!is_sensor_id(*text) && named) {
    id = named(*text);
    if (id.empty()) return "no sensor is named \"" + text->substr(0, 64) + "\"";
    return known && !known(id) ? "unknown sensor " + id : "";
  }
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

// Whether to open the network: {"enable":B} of earlier versions, {"value":B,"time":S} or {"time":S}.
std::string check_join(json_object *payload, bool &open) {
  json_object *flag = member(payload, "enable");
  const char *flag_name = "enable";
  if (flag == nullptr) {
    flag = member(payload, "value");
    flag_name = "value";
  }
  json_object *time = member(payload, "time");
  if (time != nullptr && (!is_integer(time) || json_object_get_int64(time) < 0 || json_object_get_int64(time) > 65535))
    return "\"time\" must be 0 to 65535 seconds";
  if (flag != nullptr) {
    if (!json_object_is_type(flag, json_type_boolean)) return std::string("\"") + flag_name + "\" must be true or false";
    open = json_object_get_boolean(flag) != 0 && (time == nullptr || json_object_get_int64(time) > 0);
    return "";
  }
  if (time == nullptr) return "missing \"time\" (or \"value\")";
  open = json_object_get_int64(time) > 0;
  return "";
}

CommandCheck build(const CommandRow &row, json_object *payload, const SensorKnown &known, const SensorNamed &named) {
  const Json event(json_object_new_object());
  const Json data(json_object_new_object());
  std::string reason, id, file;
  std::int64_t seconds = 0;
  int short_address = 0;
  bool open = false;
  json_object *key_value = nullptr;
  switch (row.value) {
    case Value::none:
      break;
    case Value::sensor:
    case Value::sensor_or_name:
      reason = check_sensor(payload, known, id, row.value == Value::sensor_or_name ? named : SensorNamed{});
      key_value = json_object_new_string(id.c_str());
      break;
    case Value::interval:
      reason = check_sensor(payload, known, id);
      if (reason.empty()) reason = check_interval(payload, seconds);
      key_value = json_object_new_string(id.c_str());
      json_object_object_add(data.get(), "interval", json_object_new_int64(seconds));
      break;
    case Value::join:
      reason = check_join(payload, open);
      key_value = json_object_new_int(open ? 1 : 0);
      json_object_object_add(data.get(), "value", json_object_new_boolean(open ? 1 : 0));
      json_object_object_add(data.get(), "time", json_object_new_int(open ? kJoinSeconds : 0));
      break;
    case Value::short_only:
      reason = check_short(payload, short_address);
      key_value = json_object_new_int(short_address);
      json_object_object_add(data.get(), "short", json_object_new_int(short_address));
      break;
    case Value::short_file:
      reason = check_short(payload, short_address);
      if (reason.empty()) reason = check_file(payload, 126, file);
      key_value = json_object_new_int(short_address);
      json_object_object_add(data.get(), "short", json_object_new_int(short_address));
      json_object_object_add(data.get(), "file", json_object_new_string(file.c_str()));
      break;
    case Value::file:
      reason = check_file(payload, 127, file);
      key_value = json_object_new_string(file.c_str());
      json_object_object_add(data.get(), "file", json_object_new_string(file.c_str()));
      break;
  }
  if (!id.empty()) json_object_object_add(data.get(), "id", json_object_new_string(id.c_str()));
  if (row.key != nullptr) {
    json_object_object_add(event.get(), row.key, key_value);
    if (row.value == Value::interval)
      json_object_object_add(event.get(), "TimeBase", json_object_new_string(std::to_string(seconds).c_str()));
    if (row.value == Value::short_file) json_object_object_add(event.get(), "OADFile", json_object_new_string(file.c_str()));
  } else {
    json_object_put(key_value);
  }
  if (!reason.empty()) return refuse(reason);
  CommandCheck check{true, row.key != nullptr ? json_text(event.get()) : "", "", json_text(data.get()), id, row.answer};
  return check;
}

// An empty payload counts as an empty object, so commands without values need no body.
Json payload_object(const std::string &payload) {
  if (payload.find_first_not_of(" \t\r\n") == std::string::npos) return Json(json_object_new_object());
  Json parsed = parse_json(payload);
  if (parsed == nullptr || !json_object_is_type(parsed.get(), json_type_object)) return nullptr;
  return parsed;
}

}  // namespace

CommandCheck check_bridge_request(const std::string &command, const std::string &payload, const SensorKnown &known,
                                  const SensorNamed &named) {
  for (const CommandRow &row : kCommands) {
    if (command != row.topic) continue;
    const Json object = payload_object(payload);
    if (object == nullptr) return refuse("the payload must be a JSON object");
    return build(row, object.get(), known, named);
  }
  return refuse("unknown command \"" + command.substr(0, 64) + "\"");
}

CommandCheck check_set_request(const std::string &sensor_id, const std::string &payload, const SensorKnown &known) {
  const Json object = payload_object(payload);
  if (object == nullptr) return refuse("the payload must be a JSON object");
  if (!has_member(object.get(), "interval")) return refuse("nothing to set: only \"interval\" can be set");
  json_object_object_add(object.get(), "id", json_object_new_string(sensor_id.c_str()));
  for (const CommandRow &row : kCommands)
    if (row.value == Value::interval) return build(row, object.get(), known, {});
  return refuse("no interval command");
}

std::string transaction_of(const std::string &payload) {
  if (payload.find("\"transaction\"") == std::string::npos) return "";
  const Json object = parse_json(payload);
  json_object *transaction = member(object.get(), "transaction");
  return transaction != nullptr ? json_text(transaction) : "";
}

std::string response_envelope(bool ok, const std::string &data, const std::string &error, const std::string &transaction) {
  const Json response(json_object_new_object());
  Json data_object = data.empty() ? nullptr : parse_json(data);
  if (data_object == nullptr || !json_object_is_type(data_object.get(), json_type_object)) data_object.reset(json_object_new_object());
  json_object_object_add(response.get(), "data", data_object.release());
  json_object_object_add(response.get(), "status", json_object_new_string(ok ? "ok" : "error"));
  if (!ok) json_object_object_add(response.get(), "error", json_object_new_string(error.c_str()));
  if (!transaction.empty()) json_object_object_add(response.get(), "transaction", json_tokener_parse(transaction.c_str()));
  return json_text(response.get());
}

std::vector<std::string> bridge_command_names() {
  std::vector<std::string> names;
  for (const CommandRow &row : kCommands) names.emplace_back(row.topic);
  return names;
}

}  // namespace mqtt_agent
