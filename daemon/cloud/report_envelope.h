// The envelope every cloud report travels in, {"ID", "GatewayID", "Type", "Body"}, and the last
// step of every report that goes to the cloud agent's "transmit".
#pragma once

#include <json-c/json.h>

#include "cloud/json_document.h"

namespace vorn::cloud {

// "Type" of each report kind.
enum ReportType : int {
  kParentReport = 0,       // the sensor joined or left
  kChannelListReport = 1,
  kSettingsReport = 2,
  kDeviceInfoReport = 3,
  kChannelEventReport = 6,
  kDataReport = 7,         // live values: shared memory only, never the bus
  kLogReport = 9,          // buffered records
};

// {"ID": sensor id, "GatewayID": the gateway's identifier, "Type": type}.
JsonPtr new_envelope(const char *sensor_id, int type);

// Serialises the envelope and hands it to the agent's "transmit" with the sensor id as context,
// when the agent's name is known. The call's result (cloud_invoke's), which only answered records
// look at; without an agent name UBUS_STATUS_INVALID_ARGUMENT, since no call will ever be made.
int send_cloud_report(json_object *envelope, const char *sensor_id);

// The tail of every builder: the envelope of `type` with the body's text as "Body", sent.
int send_report(const char *sensor_id, int type, json_object *body);

}  // namespace vorn::cloud
