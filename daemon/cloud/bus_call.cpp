#include "cloud/bus_call.h"

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
}

#include <cstring>

#include "core/loop_signals.h"

namespace vorn::cloud {

BusConnection::BusConnection() {
  uloop_init();
  core::restore_signals_after_uloop_init();  // the handler goes on reading command output
  context_ = ubus_connect(nullptr);
}

BusConnection::~BusConnection() {
  if (context_ != nullptr) ubus_free(context_);
  uloop_done();
}

namespace {

int add_string_member(blob_buf *buffer, const char *name, const char *text) {
  return blobmsg_add_field(buffer, BLOBMSG_TYPE_STRING, name, text, static_cast<unsigned int>(std::strlen(text) + 1));
}

}  // namespace

int invoke_with_message(ubus_context *context, std::uint32_t object_id, const char *method, blob_buf *buffer,
                        const char *sender, const char *message, ubus_data_handler_t on_answer, void *context_data) {
  blob_buf_init(buffer, 0);
  add_string_member(buffer, "id", sender);
  add_string_member(buffer, "msg", message);
  int result = ubus_invoke_fd(context, object_id, method, buffer->head, on_answer, context_data, kAgentCallTimeoutMs, -1);
  blob_buf_free(buffer);
  return result;
}

const char *answer_return_code(blob_attr *answer) {
  if (answer == nullptr) return nullptr;
  static const blobmsg_policy kReturnCodePolicy[] = {{"rc", BLOBMSG_TYPE_STRING}};
  blob_attr *fields[1] = {};
  blobmsg_parse(kReturnCodePolicy, 1, fields, blob_data(answer), blob_len(answer));
  return fields[0] != nullptr ? blobmsg_get_string(fields[0]) : nullptr;
}

}  // namespace vorn::cloud
