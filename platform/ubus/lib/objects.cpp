// Objects served by this connection: registration, incoming calls, replies.
#include <algorithm>
#include <cstring>

#include "client_state.h"

using ubus_wire::Builder;
using ubus_wire::Message;

namespace {

struct MethodList {
  const ubus_method *methods;
  int count;
};

MethodList methods_of(const ubus_object *obj) {
  if (obj->methods) return {obj->methods, obj->n_methods};
  if (obj->type && obj->type->methods) return {obj->type->methods, obj->type->n_methods};
  return {nullptr, 0};
}

// method name -> { argument name -> blobmsg type }, for listings.
bool build_signature(blob_buf *sig, const ubus_object *obj) {
  const MethodList list = methods_of(obj);
  for (int i = 0; i < list.count; ++i) {
    const ubus_method &m = list.methods[i];
    if (!m.name) continue;
    void *table = blobmsg_open_table(sig, m.name);
    if (!table) return false;
    for (int p = 0; m.policy && p < m.n_policy; ++p)
      if (m.policy[p].name && blobmsg_add_u32(sig, m.policy[p].name, m.policy[p].type) != 0)
        return false;
    blobmsg_close_table(sig, table);
  }
  return true;
}

const ubus_method *find_method(const ubus_object *obj, const char *name) {
  const MethodList list = methods_of(obj);
  for (int i = 0; i < list.count; ++i)
    if (list.methods[i].name && strcmp(list.methods[i].name, name) == 0) return &list.methods[i];
  return nullptr;
}

}  // namespace

void ubus_client::dispatch_invoke(ubus_context *ctx, const Message &m) {
  const uint32_t object = m.u32(ubus_wire::kAttrObjId);
  const char *method_name = m.str(ubus_wire::kAttrMethod);
  auto &objects = ctx->state->objects;
  const auto it =
      std::find_if(objects.begin(), objects.end(), [&](ubus_object *o) { return o->id == object; });

  int status;
  if (it == objects.end()) {
    status = UBUS_STATUS_NOT_FOUND;
  } else if (!method_name) {
    status = UBUS_STATUS_INVALID_ARGUMENT;
  } else if (const ubus_method *method = find_method(*it, method_name); !method) {
    status = UBUS_STATUS_METHOD_NOT_FOUND;
  } else if (!method->handler) {
    status = UBUS_STATUS_NOT_SUPPORTED;
  } else {
    ubus_request_data req{object, m.peer, m.seq};
    status = method->handler(ctx, *it, &req, method->name, fields_or_empty(m));
  }
  Builder reply;
  reply.u32(ubus_wire::kAttrStatus, static_cast<uint32_t>(status))
      .u32(ubus_wire::kAttrObjId, object);
  send_message(ctx, reply.finish(UBUS_MSG_STATUS, m.seq, m.peer));
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj) {
  if (!ctx || !obj || !obj->name) return UBUS_STATUS_INVALID_ARGUMENT;
  auto &objects = ctx->state->objects;
  if (std::find(objects.begin(), objects.end(), obj) != objects.end())
    return UBUS_STATUS_INVALID_ARGUMENT;
  ubus_wire::BlobBuf sig;
  if (!sig.head() || !build_signature(sig.get(), obj)) return UBUS_STATUS_NO_MEMORY;

  Builder msg;
  msg.str(ubus_wire::kAttrObjPath, obj->name).list(ubus_wire::kAttrSignature, sig.head());
  uint32_t id = 0;
  const int rc = ubus_client::request(
      ctx, UBUS_MSG_ADD_OBJECT, msg, [&](const Message &m) { id = m.u32(ubus_wire::kAttrObjId); },
      kControlTimeoutMs);
  if (rc != UBUS_STATUS_OK) return rc;
  if (id == 0) return UBUS_STATUS_UNKNOWN_ERROR;
  obj->id = id;
  objects.push_back(obj);
  return UBUS_STATUS_OK;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj) {
  if (!ctx || !obj) return UBUS_STATUS_INVALID_ARGUMENT;
  auto &objects = ctx->state->objects;
  const auto it = std::find(objects.begin(), objects.end(), obj);
  if (it == objects.end()) return UBUS_STATUS_NOT_FOUND;
  objects.erase(it);  // no more calls are handed to it, whatever the daemon answers
  Builder msg;
  msg.u32(ubus_wire::kAttrObjId, obj->id);
  obj->id = 0;
  return ubus_client::request(ctx, UBUS_MSG_REMOVE_OBJECT, msg, nullptr, kControlTimeoutMs);
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
                    struct blob_attr *msg) {
  if (!ctx || !req) return UBUS_STATUS_INVALID_ARGUMENT;
  Builder reply;
  reply.u32(ubus_wire::kAttrObjId, req->object).list(ubus_wire::kAttrData, msg);
  return ubus_client::send_message(ctx, reply.finish(UBUS_MSG_DATA, req->seq, req->peer));
}
