// JSON in and out of bus methods: the simulated programs speak JSON, the bus speaks blobmsg.
#pragma once

#include <libubus.h>

#include <string>

#include "json_doc.h"

namespace sim {

// The fields of a received bus message as one JSON object (an empty object when there are none).
Json message_json(blob_attr *message);

// Answers a method call with the members of `reply` (a JSON object). Returns the bus status.
int reply_json(ubus_context *context, ubus_request_data *request, json_object *reply);

// Calls `method` of `object` with the JSON object text `arguments`; the first reply as JSON, or
// null when the object is missing, the call fails or `timeout_ms` passes.
Json call_json(ubus_context *context, const char *object, const char *method, const std::string &arguments,
               int timeout_ms = 3000);

// Sends the event `type` with the members of the JSON object text `message`. Returns the bus status.
int send_event_json(ubus_context *context, const char *type, const std::string &message);

// A bus connection that is closed when it goes out of scope.
struct BusRelease {
  void operator()(ubus_context *context) const { ubus_free(context); }
};
using Bus = std::unique_ptr<ubus_context, BusRelease>;

}  // namespace sim
