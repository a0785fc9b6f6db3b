// A retrieved settings update becomes one SetSensorReq in the TX queue, for the transmit thread
// to send to the sensor: the last interval it asks for that the sensor can hold.
#pragma once

#include <json-c/json.h>

namespace vorn::data {

// Queues one event-interval request for the last valid {"Key":"EventInterval","Value":N} (1 to
// 65535 seconds) of a settings update (type 2) to a known sensor; `id` must be a sensor id (16
// hexadecimal digits). The cloud layer's retrieved-message handler.
void handle_retrieved_message(const char *id, int type, json_object *body);

}  // namespace vorn::data
