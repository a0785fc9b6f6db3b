// Ownership of json-c documents: one reference, dropped when the holder goes away.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vorn::core {

struct JsonPut {
  void operator()(json_object *object) const { json_object_put(object); }
};
using JsonDocument = std::unique_ptr<json_object, JsonPut>;

struct JsonTokenerFree {
  void operator()(json_tokener *tokener) const { json_tokener_free(tokener); }
};

// Parses `length` bytes that need not be terminated; empty when they are not one JSON value.
inline JsonDocument parse_json(const char *text, std::size_t length) {
  std::unique_ptr<json_tokener, JsonTokenerFree> tokener(json_tokener_new());
  if (!tokener || length > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  JsonDocument document(json_tokener_parse_ex(tokener.get(), text, static_cast<int>(length)));
  if (json_tokener_get_error(tokener.get()) != json_tokener_success) return nullptr;
  return document;
}

}  // namespace vorn::core
