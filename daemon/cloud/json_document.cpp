#include "cloud/json_document.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace vorn::cloud {

const char *json_text(json_object *document) { return json_object_to_json_string_ext(document, JSON_C_TO_STRING_PLAIN); }

JsonPtr parse_json(const char *text, std::size_t length) {
  if (text == nullptr || length > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  json_tokener *tokener = json_tokener_new();
  if (tokener == nullptr) return nullptr;
  JsonPtr document(json_tokener_parse_ex(tokener, text, static_cast<int>(length)));
  // An incomplete document leaves the tokener waiting for more; only white space may follow one.
  bool whole = json_tokener_get_error(tokener) == json_tokener_success;
  for (std::size_t i = json_tokener_get_parse_end(tokener); whole && i < length; ++i)
    whole = std::isspace(static_cast<unsigned char>(text[i])) != 0;
  json_tokener_free(tokener);
  return whole ? std::move(document) : nullptr;
}

json_object *new_text(std::string_view value) {
  return json_object_new_string_len(value.data(), static_cast<int>(value.size()));
}

void add_string(json_object *object, const char *key, std::string_view value) {
  json_object_object_add(object, key, new_text(value));
}

void add_int(json_object *object, const char *key, std::int64_t value) {
  json_object_object_add(object, key, json_object_new_int64(value));
}

json_object *new_decimal(double value, int decimals) {
  if (!std::isfinite(value)) return json_object_new_string("NaN");
  // Wide enough for any float with two decimals (39 digits, sign, point, decimals): never cut.
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return json_object_new_double_s(value, text);
}

json_object *new_key_value(const char *key, json_object *value) {
  json_object *element = json_object_new_object();
  add_string(element, "Key", key);
  json_object_object_add(element, "Value", value);
  return element;
}

}  // namespace vorn::cloud
