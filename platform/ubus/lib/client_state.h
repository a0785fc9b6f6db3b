// Internal state of a bus connection and the helpers the client library's parts share.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include <libubus.h>

#include "ubus_wire.h"

// How long requests to the daemon itself (lookup, registration, events) may take, and how long a
// send may wait for the socket to drain, before the connection is given up.
inline constexpr int kControlTimeoutMs = 10000;
inline constexpr int kSendTimeoutMs = 10000;

// A synchronous request waiting for its replies.
struct PendingRequest {
  uint16_t seq = 0;
  std::function<void(const ubus_wire::Message &)> on_data;
  bool done = false;
  int status = UBUS_STATUS_UNKNOWN_ERROR;
  // Replies that arrived while a request nested inside this one was waiting.
  std::deque<ubus_wire::Message> inbox;
};

// Runs buffered messages and reports a lost connection from the event loop.
struct DeferredWork {
  uloop_timeout timeout;
  ubus_context *ctx;
};

struct EventListener {
  ubus_event_handler *handler;
  uint32_t id;
};

struct ubus_context_state {
  ubus_wire::Receiver rx{ubus_wire::kMaxForwarded};
  std::vector<ubus_object *> objects;
  std::vector<EventListener> listeners;
  uint32_t next_listener_id = 1;
  std::vector<PendingRequest *> active;  // innermost last
  // Handlers and synchronous requests running now. While any runs, incoming calls and events wait
  // in `queued` and are served, in order, once the outermost has returned.
  int depth = 0;
  std::deque<ubus_wire::Message> queued;
  DeferredWork deferred{};
  bool in_loop = false;  // ubus_add_uloop() was called
  bool lost = false;
  bool lost_reported = false;
};

namespace ubus_client {

// Sends one whole message. An empty message (building failed or too big) is
// UBUS_STATUS_INVALID_ARGUMENT.
int send_message(ubus_context *ctx, const std::vector<uint8_t> &bytes);
// Sends a request to the daemon or an object and waits for its status; on_data sees each DATA
// reply. timeout_ms 0: no limit; negative: UBUS_STATUS_TIMEOUT at once, after sending.
int request(ubus_context *ctx, uint8_t type, ubus_wire::Builder &msg,
            std::function<void(const ubus_wire::Message &)> on_data, int timeout_ms);
// Handles every complete message buffered, then the calls and events queued meanwhile.
void process_buffered(ubus_context *ctx);
// The fields of a DATA attribute, or an empty container when there is none.
blob_attr *fields_or_empty(const ubus_wire::Message &m);

// Defined by the object and event parts.
void dispatch_invoke(ubus_context *ctx, const ubus_wire::Message &m);
void dispatch_event(ubus_context *ctx, const ubus_wire::Message &m);

}  // namespace ubus_client
