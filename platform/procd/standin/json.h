// Owned json-c values and the few reads the process manager makes of them.
#pragma once

#include <json-c/json.h>

#include <memory>
#include <string>

namespace procd {

struct JsonRelease {
  void operator()(json_object *value) const { json_object_put(value); }
};
using Json = std::unique_ptr<json_object, JsonRelease>;

// A new reference to `value` (which may be null), owned by the result.
inline Json share(json_object *value) { return Json(json_object_get(value)); }

// Member `key` of an object of the given type, or null (absent, or of another type: the router's
// process manager ignores a field of the wrong type).
inline json_object *typed_member(json_object *object, const char *key, json_type type) {
  json_object *value = nullptr;
  if (object == nullptr || !json_object_object_get_ex(object, key, &value)) return nullptr;
  return json_object_is_type(value, type) ? value : nullptr;
}

inline std::string text_of(json_object *value) {
  return value == nullptr ? "" : json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
}

// Whether every element of an array, or every member of an object, is a string.
bool all_strings(json_object *container);

}  // namespace procd
