// Owned json-c documents and the few member readers the agent needs.
#pragma once

#include <json-c/json.h>

#include <memory>
#include <optional>
#include <string>

namespace mqtt_agent {

struct JsonRelease {
  void operator()(json_object *object) const { json_object_put(object); }
};
using Json = std::unique_ptr<json_object, JsonRelease>;

inline Json parse_json(const std::string &text) { return Json(json_tokener_parse(text.c_str())); }

inline json_object *member(json_object *object, const char *key) {
  json_object *value = nullptr;
  return object != nullptr && json_object_is_type(object, json_type_object) &&
                 json_object_object_get_ex(object, key, &value)
             ? value
             : nullptr;
}

inline bool has_member(json_object *object, const char *key) {
  return object != nullptr && json_object_is_type(object, json_type_object) &&
         json_object_object_get_ex(object, key, nullptr);
}

inline std::optional<std::string> string_member(json_object *object, const char *key) {
  json_object *value = member(object, key);
  if (value == nullptr || !json_object_is_type(value, json_type_string)) return std::nullopt;
  return std::string(json_object_get_string(value));
}

inline std::string json_text(json_object *object) {
  const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
  return text != nullptr ? text : "null";
}

}  // namespace mqtt_agent
