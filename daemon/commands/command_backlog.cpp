#include "commands/command_backlog.h"

#include <cctype>

#include "commands/command_support.h"
#include "core/ext_address.h"
#include "data/sensor_upkeep.h"

namespace vorn::commands {

namespace {

std::string upper(const char *text) {
  std::string out = text;
  for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

json_object *member(json_object *document, const char *key) {
  json_object *value = nullptr;
  return json_object_object_get_ex(document, key, &value) ? value : nullptr;
}

bool names_a_sensor(json_object *value) {
  return json_object_is_type(value, json_type_string) && core::is_ext_address_text(json_object_get_string(value));
}

}  // namespace

std::string superseding_key(json_object *document) {
  if (!json_object_is_type(document, json_type_object)) return "";
  const int members = json_object_object_length(document);
  if (members == 1) {
    if (json_object *remove = member(document, "RemoveDev"); remove != nullptr && names_a_sensor(remove))
      return "RemoveDev " + upper(json_object_get_string(remove));
    if (json_object *join = member(document, "JoinNetwork_Enable"); join != nullptr && json_object_is_type(join, json_type_int))
      return "JoinNetwork_Enable";
    if (json_object_object_get_ex(document, "GetDevList", nullptr)) return "GetDevList";
    return "";
  }
  json_object *sensor = member(document, "SetEventTimer");
  json_object *time_base = member(document, "TimeBase");
  if (members != 2 || sensor == nullptr || !names_a_sensor(sensor) || time_base == nullptr ||
      !json_object_is_type(time_base, json_type_string))
    return "";
  // The interval as the command reads it; one it would refuse replaces nothing.
  if (data::event_interval_refusal(decimal_value(json_object_get_string(time_base))) != nullptr) return "";
  return "SetEventTimer " + upper(json_object_get_string(sensor));
}

CommandBacklog::Added CommandBacklog::add(cloud::JsonPtr document) {
  std::string key = superseding_key(document.get());
  if (!key.empty()) {
    for (Waiting &waiting : waiting_) {
      if (waiting.key != key) continue;
      waiting.document = std::move(document);
      return Added::kMerged;
    }
  }
  if (waiting_.size() >= kCommandBacklog) return Added::kDropped;
  waiting_.push_back({std::move(key), std::move(document)});
  return Added::kWaiting;
}

cloud::JsonPtr CommandBacklog::take() {
  if (waiting_.empty()) return nullptr;
  cloud::JsonPtr document = std::move(waiting_.front().document);
  waiting_.pop_front();
  return document;
}

}  // namespace vorn::commands
