// Type 0: the sensor hangs under this gateway ("Parent" its identifier) or has left ("Parent" "").
#include "cloud/device_reports.h"
#include "cloud/json_document.h"
#include "cloud/report_envelope.h"
#include "core/daemon_state.h"

namespace vorn::cloud {

namespace {

void report_parent(const shared::SensorReport *report, const char *parent) {
  if (report == nullptr) return;
  JsonPtr body(json_object_new_object());
  add_string(body.get(), "Parent", parent);
  send_report(report->sensor_id, kParentReport, body.get());
}

}  // namespace

void report_joined(const shared::SensorReport *report) { report_parent(report, core::daemon_state.gateway_id); }

void report_left(const shared::SensorReport *report) { report_parent(report, ""); }

}  // namespace vorn::cloud
