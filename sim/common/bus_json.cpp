#include "bus_json.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdlib>

namespace sim {

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
               int timeout_ms) {
  std::uint32_t id = 0;
  if (context == nullptr || ubus_lookup_id(context, object, &id) != UBUS_STATUS_OK) return nullptr;
  BlobBuffer message;
  if (!arguments.empty() && !blobmsg_add_json_from_string(&message.buffer, arguments.c_str())) return nullptr;
  Json reply;
  if (ubus_invoke(context, id, method, message.buffer.head, keep_first_reply, &reply, timeout_ms) != UBUS_STATUS_OK)
    return nullptr;
  return reply;
}

int send_event_json(ubus_context *context, const char *type, const std::string &message) {
  BlobBuffer event;
  if (context == nullptr || !blobmsg_add_json_from_string(&event.buffer, message.c_str())) return UBUS_STATUS_INVALID_ARGUMENT;
  return ubus_send_event(context, type, event.buffer.head);
}

}  // namespace sim
