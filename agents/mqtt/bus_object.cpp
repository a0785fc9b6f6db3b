#include "bus_object.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "agent.h"
#include "blob_buffer.h"
#include "json.h"

namespace mqtt_agent {

namespace {

// A forwarded call must answer within the daemon's own 3000 ms wait for "transmit".
constexpr int kForwardTimeoutMs = 2500;

struct BusRelease {
  void operator()(ubus_context *context) const { ubus_free(context); }
};

struct ObjectState {
  Agent *agent = nullptr;
  std::string name, forward_to;
  // Calls to the forwarded object go over a connection of their own, never the one serving us.
  std::unique_ptr<ubus_context, BusRelease> forward_bus;
  std::int64_t seq_no = 0;
};
ObjectState g_state;

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

void keep_reply(ubus_request *request, int, blob_attr *message) {
  auto *out = static_cast<Json *>(request->priv);
  if (*out == nullptr) *out = message_json(message);
}

// Calls `method` of the forwarded object with the same arguments; its answer, or null.
Json forward(const char *method, json_object *arguments) {
  if (g_state.forward_to.empty()) return nullptr;
  if (!g_state.forward_bus) g_state.forward_bus.reset(ubus_connect(nullptr));
  if (!g_state.forward_bus) return nullptr;
  std::uint32_t id = 0;
  if (ubus_lookup_id(g_state.forward_bus.get(), g_state.forward_to.c_str(), &id) != UBUS_STATUS_OK) return nullptr;
  BlobBuffer message;
  if (!blobmsg_add_object(&message.buffer, arguments)) return nullptr;
  Json reply;
  const int rc = ubus_invoke(g_state.forward_bus.get(), id, method, message.buffer.head, keep_reply, &reply, kForwardTimeoutMs);
  if (rc != UBUS_STATUS_OK) {
    std::fprintf(stderr, "mqtt_agent: forwarding %s to %s failed: %s\n", method, g_state.forward_to.c_str(), ubus_strerror(rc));
    // A connection that timed out may hold a late answer: start afresh next time.
    g_state.forward_bus.reset();
    return nullptr;
  }
  return reply;
}

int method_transmit(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  const auto msg = string_member(arguments.get(), "msg");
  if (!msg) return UBUS_STATUS_INVALID_ARGUMENT;
  const std::int64_t seq_no = ++g_state.seq_no;
  const std::time_t now = std::time(nullptr);
  Json reply = forward("transmit", arguments.get());
  if (reply == nullptr) {
    char rc[160];
    std::snprintf(rc, sizeof rc, "{\"SeqNo\":%lld,\"Timestamp\":%lld,\"Result\":1,\"NewMsgArrived\":0}",
                  static_cast<long long>(seq_no), static_cast<long long>(now));
    reply.reset(json_object_new_object());
    json_object_object_add(reply.get(), "rc", json_object_new_string(rc));
  }
  // Answer first: the daemon's handler waits for it; the report is queued right after.
  const int status = reply_json(context, request, reply.get());
  g_state.agent->on_report(*msg, now);
  return status;
}

int method_obtain(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  Json reply = forward("obtain", arguments.get());
  if (reply == nullptr) {
    // The agent holds no cloud messages of its own: its settings go out as commands at once.
    reply.reset(json_object_new_object());
    json_object_object_add(reply.get(), "rc", json_object_new_string("{}"));
  }
  return reply_json(context, request, reply.get());
}

int method_stats(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *) {
  const Json stats = parse_json(g_state.agent->stats_document());
  return reply_json(context, request, stats.get());
}

const ubus_method kMethods[] = {
    UBUS_METHOD_NOARG("transmit", method_transmit),
    UBUS_METHOD_NOARG("obtain", method_obtain),
    UBUS_METHOD_NOARG("stats", method_stats),
};
ubus_object_type g_type = UBUS_OBJECT_TYPE("mqtt_agent", kMethods);
ubus_object g_object{};

}  // namespace

bool register_bus_object(ubus_context *bus, const std::string &name, const std::string &forward_to, Agent &agent) {
  g_state.agent = &agent;
  g_state.name = name;
  g_state.forward_to = forward_to;
  g_object.name = g_state.name.c_str();
  g_object.type = &g_type;
  g_object.methods = kMethods;
  g_object.n_methods = static_cast<int>(ARRAY_SIZE(kMethods));
  return ubus_add_object(bus, &g_object) == UBUS_STATUS_OK;
}

void close_bus_object() { g_state.forward_bus.reset(); }

}  // namespace mqtt_agent
