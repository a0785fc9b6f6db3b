// Object lookup and synchronous method calls.
#include <cstring>

#include "client_state.h"

using ubus_wire::Builder;
using ubus_wire::Message;

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id) {
  if (!ctx || !path || !id) return UBUS_STATUS_INVALID_ARGUMENT;
  Builder msg;
  msg.str(ubus_wire::kAttrObjPath, path);
  uint32_t found = 0;
  const int rc = ubus_client::request(
      ctx, UBUS_MSG_LOOKUP, msg, [&](const Message &m) { found = m.u32(ubus_wire::kAttrObjId); },
      kControlTimeoutMs);
  if (rc != UBUS_STATUS_OK) return rc;
  if (found == 0) return UBUS_STATUS_NOT_FOUND;
  *id = found;
  return UBUS_STATUS_OK;
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv) {
  if (!ctx) return UBUS_STATUS_INVALID_ARGUMENT;
  Builder msg;
  if (path) {
    const size_t len = strlen(path);
    msg.str(len > 0 && path[len - 1] == '*' ? ubus_wire::kAttrPattern : ubus_wire::kAttrObjPath,
            path);
  }
  return ubus_client::request(
      ctx, UBUS_MSG_LOOKUP, msg,
      [&](const Message &m) {
        if (!cb || !m.attr[ubus_wire::kAttrObjId] || !m.attr[ubus_wire::kAttrObjPath]) return;
        ubus_object_data data{m.u32(ubus_wire::kAttrObjId), 0, m.str(ubus_wire::kAttrObjPath),
                              m.list(ubus_wire::kAttrSignature)};
        cb(ctx, &data, priv);
      },
      kControlTimeoutMs);
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
                   struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout_ms,
                   int fd) {
  if (!ctx || !method) return UBUS_STATUS_INVALID_ARGUMENT;
  if (fd >= 0) return UBUS_STATUS_NOT_SUPPORTED;
  Builder call;
  call.u32(ubus_wire::kAttrObjId, obj)
      .str(ubus_wire::kAttrMethod, method)
      .list(ubus_wire::kAttrData, msg);
  ubus_request req{};
  req.ctx = ctx;
  req.data_cb = cb;
  req.priv = priv;
  req.seq = static_cast<uint16_t>(ctx->request_seq + 1);
  const int rc = ubus_client::request(
      ctx, UBUS_MSG_INVOKE, call,
      [&](const Message &m) {
        req.peer = m.peer;
        if (req.data_cb) req.data_cb(&req, UBUS_MSG_DATA, ubus_client::fields_or_empty(m));
      },
      timeout_ms);
  req.status_code = rc;
  return rc;
}

int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                ubus_data_handler_t cb, void *priv, int timeout_ms) {
  return ubus_invoke_fd(ctx, obj, method, msg, cb, priv, timeout_ms, -1);
}
