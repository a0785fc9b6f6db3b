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

// What the daemon does with a retrieved message: the id checked as text only, the type, and the
// message's "Body" array. The handler lives above the cloud layer (it queues requests to sensors),
// so the application sets it once at start, before any process is forked.
using RetrievedMessageHandler = void (*)(const char *id, int type, json_object *body);
void set_retrieved_message_handler(RetrievedMessageHandler handler);

}  // namespace vorn::cloud
