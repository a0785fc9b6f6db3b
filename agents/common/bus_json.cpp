#include "common/bus_json.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdlib>

namespace agents {

namespace {

struct BlobBuffer {
  BlobBuffer() { blob_buf_init(&buffer, 0); }
  ~BlobBuffer() { blob_buf_free(&buffer); }
  BlobBuffer(const BlobBuffer &) = delete;
  BlobBuffer &operator=(const BlobBuffer &) = delete;
  blob_buf buffer{};
};

void keep_first_reply(ubus_request *request, int, blob_attr *message) {
  auto *out = static_cast<Json *>(request->priv);
  if (*out == nullptr) *out = message_json(message);
}

}  // namespace

Json message_json(blob_attr *message) {
  if (message == nullptr) return Json(json_object_new_object());
  char *text = blobmsg_format_json(message, true);
  Json parsed = text != nullptr ? parse_json(text) : nullptr;
  std::free(text);
  return parsed != nullptr ? std::move(parsed) : Json(json_object_new_object());
}

int reply_json(ubus_context *context, ubus_request_data *request, json_object *reply) {
  BlobBuffer message;
  if (!blobmsg_add_object(&message.buffer, reply)) return UBUS_STATUS_UNKNOWN_ERROR;
  return ubus_send_reply(context, request, message.buffer.head);
}

Json call_json(ubus_context *context, const char *object, const char *method, const std::string &arguments,
               int timeout_ms, int *status) {
  int ignored = 0;
  int &result = status != nullptr ? *status : ignored;
  std::uint32_t id = 0;
  result = UBUS_STATUS_CONNECTION_FAILED;
  if (context == nullptr || (result = ubus_lookup_id(context, object, &id)) != UBUS_STATUS_OK) return nullptr;
  BlobBuffer message;
  if (!arguments.empty() && !blobmsg_add_json_from_string(&message.buffer, arguments.c_str())) {
    result = UBUS_STATUS_INVALID_ARGUMENT;
    return nullptr;
  }
  Json reply;
  result = ubus_invoke(context, id, method, message.buffer.head, keep_first_reply, &reply, timeout_ms);
  if (result != UBUS_STATUS_OK) return nullptr;
  return reply;
}

int send_event(ubus_context *context, const char *type, const std::string &message) {
  if (context == nullptr) return UBUS_STATUS_CONNECTION_FAILED;
  const Json document = parse_json(message);
  if (document == nullptr || !json_object_is_type(document.get(), json_type_object)) return UBUS_STATUS_INVALID_ARGUMENT;
  BlobBuffer buffer;
  if (!blobmsg_add_object(&buffer.buffer, document.get())) return UBUS_STATUS_INVALID_ARGUMENT;
  return ubus_send_event(context, type, buffer.buffer.head);
}

}  // namespace agents
