// An owned json-c document: released when it goes out of scope.
#pragma once

#include <json-c/json.h>

#include <memory>
#include <string>

namespace agents {

struct JsonRelease {
  void operator()(json_object *object) const { json_object_put(object); }
};
using Json = std::unique_ptr<json_object, JsonRelease>;

inline Json parse_json(const std::string &text) { return Json(json_tokener_parse(text.c_str())); }

// Member `key` of an object, or null.
inline json_object *member(json_object *object, const char *key) {
  json_object *value = nullptr;
  return object != nullptr && json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

inline std::string string_member(json_object *object, const char *key, const std::string &fallback = "") {
  json_object *value = member(object, key);
  return value != nullptr && json_object_is_type(value, json_type_string) ? json_object_get_string(value) : fallback;
}

inline long long int_member(json_object *object, const char *key, long long fallback = 0) {
  json_object *value = member(object, key);
  if (value == nullptr) return fallback;
  if (json_object_is_type(value, json_type_int)) return json_object_get_int64(value);
  if (json_object_is_type(value, json_type_double)) return static_cast<long long>(json_object_get_double(value));
  return fallback;
}

inline double number_member(json_object *object, const char *key, double fallback = 0) {
  json_object *value = member(object, key);
  if (value == nullptr) return fallback;
  if (json_object_is_type(value, json_type_int) || json_object_is_type(value, json_type_double))
    return json_object_get_double(value);
  return fallback;
}

// Calls fn(key, value) for each member of an object; nothing for null or a non-object.
template <typename Fn>
void for_each_member(json_object *object, Fn fn) {
  if (object == nullptr || !json_object_is_type(object, json_type_object)) return;
  json_object_object_foreach(object, key, value) fn(key, value);
}

inline std::string json_text(json_object *object) {
  const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
  return text != nullptr ? text : "null";
}

}  // namespace agents
