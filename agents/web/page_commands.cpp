#include "page_commands.h"

#include <limits>

#include "api_params.h"
#include "common/json_doc.h"

namespace web {

std::optional<PageCommand> parse_page_command(const std::string &body, std::string &reason) {
  const agents::Json document = agents::parse_json(body);
  if (document == nullptr || !json_object_is_type(document.get(), json_type_object)) {
    reason = "the body must be a JSON object";
    return std::nullopt;
  }
  PageCommand command;
  command.kind = agents::string_member(document.get(), "command");
  json_object *id = agents::member(document.get(), "id");
  const bool needs_sensor = command.kind == "set_interval" || command.kind == "remove";
  if (needs_sensor) {
    const auto checked = id != nullptr && json_object_is_type(id, json_type_string)
                             ? sensor_id_param(json_object_get_string(id)) : std::nullopt;
    if (!checked) {
      reason = "\"id\" must be a sensor's 16 hexadecimal digits";
      return std::nullopt;
    }
    command.id = *checked;
  }
  if (command.kind == "set_interval") {
    json_object *interval = agents::member(document.get(), "interval");
    if (interval == nullptr || !json_object_is_type(interval, json_type_int) ||
        json_object_get_int64(interval) < 1 || json_object_get_int64(interval) > std::numeric_limits<std::int32_t>::max()) {
      reason = "\"interval\" must be a whole number of seconds, 1 to 2147483647";
      return std::nullopt;
    }
    command.interval = json_object_get_int64(interval);
  } else if (command.kind == "permit_join") {
    json_object *enable = agents::member(document.get(), "enable");
    if (enable == nullptr || !json_object_is_type(enable, json_type_boolean)) {
      reason = "\"enable\" must be true or false";
      return std::nullopt;
    }
    command.enable = json_object_get_boolean(enable);
  } else if (command.kind != "remove") {
    reason = "unknown command";
    return std::nullopt;
  }
  return command;
}

std::string command_event(const PageCommand &command) {
  const agents::Json event(json_object_new_object());
  if (command.kind == "set_interval") {
    json_object_object_add(event.get(), "SetEventTimer", json_object_new_string(command.id.c_str()));
    json_object_object_add(event.get(), "TimeBase", json_object_new_string(std::to_string(command.interval).c_str()));
  } else if (command.kind == "remove") {
    json_object_object_add(event.get(), "RemoveDev", json_object_new_string(command.id.c_str()));
  } else {
    json_object_object_add(event.get(), "JoinNetwork_Enable", json_object_new_int(command.enable ? 1 : 0));
  }
  return agents::json_text(event.get());
}

CommandEffect command_effect(const PageCommand &command) {
  if (command.kind == "set_interval") return {"EventIntervalUserWanted", std::to_string(command.interval)};
  if (command.kind == "remove") return {"RemoveSensor", "1"};
  return {};
}

}  // namespace web
