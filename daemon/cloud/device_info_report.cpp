// Type 3: what the sensor is (maker, model, firmware versions, calibration) and how it is doing
// (power source, battery, signal, operating voltage and temperature).
#include "cloud/device_reports.h"
#include "cloud/json_document.h"
#include "cloud/report_envelope.h"

namespace vorn::cloud {

void report_device_info(const shared::SensorReport *report) {
  // A temperature of exactly 0 marks a frame without operating values.
  if (report == nullptr || report->op_temperature == 0) return;
  JsonPtr body(json_object_new_array());
  auto add = [&](const char *key, json_object *value) { json_object_array_add(body.get(), new_key_value(key, value)); };
  add("Manufacturer", new_text(bounded_text(report->manufacturer)));
  add("Model", new_text(bounded_text(report->model_number)));
  add("Firmware", new_text(bounded_text(report->sensor_version)));
  add("RFFirmware", new_text(bounded_text(report->model_version)));
  add("CalibrationDate", new_text(bounded_text(report->calibration_date)));
  add("PowerSource", json_object_new_int(report->power_source));
  add("Battery", new_decimal(report->battery, 1));
  add("RSSI", json_object_new_int(report->rssi));
  add("DeviceVoltage", new_decimal(report->op_voltage, 1));
  add("DeviceTemperature", json_object_new_int(report->op_temperature));
  send_report(report->sensor_id, kDeviceInfoReport, body.get());
}

}  // namespace vorn::cloud
