// JSON (json-c objects) to blobmsg fields.
extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdint>
#include <memory>

#include <json-c/json.h>

namespace {

// json-c's parser stops at 32 levels; objects built in code could go deeper than readers accept.
constexpr int kMaxDepth = 64;

struct JsonPut {
  void operator()(json_object *o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

bool add_element(blob_buf *b, const char *name, json_object *obj, int depth);

bool add_members(blob_buf *b, json_object *obj, int depth) {
  json_object_iter it;
  json_object_object_foreachC(obj, it) {
    if (!add_element(b, it.key, it.val, depth)) return false;
  }
  return true;
}

bool add_items(blob_buf *b, json_object *arr, int depth) {
  const size_t n = json_object_array_length(arr);
  for (size_t i = 0; i < n; ++i)
    if (!add_element(b, nullptr, json_object_array_get_idx(arr, i), depth)) return false;
  return true;
}

bool add_element(blob_buf *b, const char *name, json_object *obj, int depth) {
  if (depth > kMaxDepth) return false;
  switch (json_object_get_type(obj)) {
    case json_type_null:
      return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
    case json_type_boolean:
      return blobmsg_add_u8(b, name, json_object_get_boolean(obj) ? 1 : 0) == 0;
    case json_type_int: {
      const int64_t v = json_object_get_int64(obj);
      if (v >= INT32_MIN && v <= INT32_MAX)
        return blobmsg_add_u32(b, name, static_cast<uint32_t>(static_cast<int32_t>(v))) == 0;
      return blobmsg_add_u64(b, name, static_cast<uint64_t>(v)) == 0;
    }
    case json_type_double:
      return blobmsg_add_double(b, name, json_object_get_double(obj)) == 0;
    case json_type_string:
      return blobmsg_add_field(b, BLOBMSG_TYPE_STRING, name, json_object_get_string(obj),
                               static_cast<unsigned int>(json_object_get_string_len(obj)) + 1) == 0;
    case json_type_object: {
      void *cookie = blobmsg_open_table(b, name);
      if (!cookie) return false;
      const bool ok = add_members(b, obj, depth + 1);
      blobmsg_close_table(b, cookie);
      return ok;
    }
    case json_type_array: {
      void *cookie = blobmsg_open_array(b, name);
      if (!cookie) return false;
      const bool ok = add_items(b, obj, depth + 1);
      blobmsg_close_array(b, cookie);
      return ok;
    }
  }
  return false;
}

}  // namespace

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj) {
  return add_element(b, name, obj, 0);
}

bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj) {
  if (!json_object_is_type(obj, json_type_object)) return false;
  return add_members(b, obj, 0);
}

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str) {
  if (!str) return false;
  JsonPtr obj(json_tokener_parse(str));
  if (!obj || !json_object_is_type(obj.get(), json_type_object)) return false;
  return blobmsg_add_object(b, obj.get());
}
