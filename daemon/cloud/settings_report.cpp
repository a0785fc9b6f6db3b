// Type 2: the sensor's event interval and dead band.
#include <gateway_lib/sensor_registry.h>

#include "cloud/device_reports.h"
#include "cloud/json_document.h"
#include "cloud/report_envelope.h"

namespace vorn::cloud {

void report_settings(const shared::SensorReport *report) {
  if (report == nullptr || report->event_interval == 0) return;
  int dead_band = get_deadband_threshold(report->sensor_id);
  JsonPtr body(json_object_new_array());
  json_object_array_add(body.get(), new_key_value("EventInterval", json_object_new_int(report->event_interval)));
  json_object_array_add(body.get(), new_key_value("DeadBand", json_object_new_int(dead_band)));
  send_report(report->sensor_id, kSettingsReport, body.get());
}

}  // namespace vorn::cloud
