// Messages the cloud holds for a sensor: announced in the answer to a "transmit", fetched at once
// with "obtain", and acted on when they change the sensor's event interval.
#pragma once

#include <json-c/json.h>
#include <libubus.h>

namespace vorn::cloud {

// Message type of a settings update, the only kind acted on.
constexpr int kSettingsMessage = 2;

// Answer handler of "transmit"; the request's private pointer is the report's sensor id. Fetches
// when the answer says {"Result":1,"NewMsgArrived":1} (with integer "SeqNo" and "Timestamp").
void on_transmit_reply(ubus_request *request, int type, blob_attr *message);

// Calls the agent's "obtain" with {"ID":"<sensor id>"}, waiting at most 3000 ms. Silent on failure.
void cloud_obtain(const char *sensor_id);

// Answer handler of "obtain": checks the retrieved message and hands its body array on.
void on_obtain_reply(ubus_request *request, int type, blob_attr *message);

// Queues one event-interval request for the last valid {"Key":"EventInterval","Value":N} (1 to
// 65535 seconds) of a settings update (type 2) to a known sensor; `id` must be a sensor id (16
// hexadecimal digits).
void handle_retrieved_message(const char *id, int type, json_object *body);

}  // namespace vorn::cloud
