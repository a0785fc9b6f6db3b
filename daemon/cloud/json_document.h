// JSON documents of the cloud texts: owned by RAII, built member by member in the order the cloud
// expects, and serialised plainly (no spaces, no line breaks).
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace vorn::cloud {

struct JsonRelease {
  void operator()(json_object *document) const { json_object_put(document); }
};
using JsonPtr = std::unique_ptr<json_object, JsonRelease>;

// The plain serialisation; the text belongs to `document` and lives as long as it does.
const char *json_text(json_object *document);

// Parses exactly `length` bytes (no terminator needed); null unless they hold one JSON document.
JsonPtr parse_json(const char *text, std::size_t length);

// A text field of a received record, up to its terminator or the end of the field.
template <std::size_t N>
std::string_view bounded_text(const char (&field)[N]) {
  return {field, strnlen(field, N)};
}

json_object *new_text(std::string_view value);

// Members added in call order; the object takes the new value.
void add_string(json_object *object, const char *key, std::string_view value);
void add_int(json_object *object, const char *key, std::int64_t value);

// A number whose JSON text is `value` with exactly `decimals` decimals (21.5 with 2 gives 21.50).
// An infinity or NaN, whose text would not be JSON, gives the string "NaN".
json_object *new_decimal(double value, int decimals);

// {"Key": key, "Value": value}: the element of the settings and device information arrays.
json_object *new_key_value(const char *key, json_object *value);

}  // namespace vorn::cloud
