// Events: listening by pattern, sending, and delivering to handlers.
#include <algorithm>

#include "client_state.h"

using ubus_wire::Builder;
using ubus_wire::Message;

namespace {

std::vector<EventListener>::iterator find_listener(ubus_context_state *st,
                                                   const ubus_event_handler *ev) {
  return std::find_if(st->listeners.begin(), st->listeners.end(),
                      [&](const EventListener &l) { return l.handler == ev; });
}

}  // namespace

void ubus_client::dispatch_event(ubus_context *ctx, const Message &m) {
  const uint32_t id = m.u32(ubus_wire::kAttrHandler);
  const char *name = m.str(ubus_wire::kAttrEvent);
  auto &listeners = ctx->state->listeners;
  const auto it = std::find_if(listeners.begin(), listeners.end(),
                               [&](const EventListener &l) { return l.id == id; });
  if (it == listeners.end() || !name || !it->handler->cb)
    return;  // unregistered while the event was on its way
  it->handler->cb(ctx, it->handler, name, fields_or_empty(m));
}

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
                                const char *pattern) {
  if (!ctx || !ev || !pattern) return UBUS_STATUS_INVALID_ARGUMENT;
  ubus_context_state *st = ctx->state;
  const auto it = find_listener(st, ev);
  const bool known = it != st->listeners.end();
  const uint32_t id = known ? it->id : st->next_listener_id++;
  if (!known)
    st->listeners.push_back({ev, id});  // before the request: events may follow its reply at once

  Builder msg;
  msg.u32(ubus_wire::kAttrHandler, id).str(ubus_wire::kAttrPattern, pattern);
  const int rc = ubus_client::request(ctx, UBUS_MSG_ADD_LISTENER, msg, nullptr, kControlTimeoutMs);
  if (rc != UBUS_STATUS_OK) {
    if (!known) st->listeners.erase(find_listener(st, ev));
    return rc;
  }
  ev->obj.id = id;
  return UBUS_STATUS_OK;
}

int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev) {
  if (!ctx || !ev) return UBUS_STATUS_INVALID_ARGUMENT;
  ubus_context_state *st = ctx->state;
  const auto it = find_listener(st, ev);
  if (it == st->listeners.end()) return UBUS_STATUS_NOT_FOUND;
  const uint32_t id = it->id;
  st->listeners.erase(it);
  ev->obj.id = 0;
  Builder msg;
  msg.u32(ubus_wire::kAttrHandler, id);
  return ubus_client::request(ctx, UBUS_MSG_REMOVE_LISTENER, msg, nullptr, kControlTimeoutMs);
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data) {
  if (!ctx || !id) return UBUS_STATUS_INVALID_ARGUMENT;
  Builder msg;
  msg.str(ubus_wire::kAttrEvent, id).list(ubus_wire::kAttrData, data);
  return ubus_client::request(ctx, UBUS_MSG_SEND_EVENT, msg, nullptr, kControlTimeoutMs);
}
