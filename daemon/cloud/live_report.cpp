// The live measurement report: one value per channel at the frame's base time.
#include <cstring>

#include "cloud/json_document.h"
#include "cloud/measurement_document.h"
#include "cloud/measurement_reports.h"
#include "cloud/report_channels.h"
#include "cloud/report_envelope.h"
#include "cloud/units_map.h"

namespace vorn::cloud {

namespace {

// With metadata every channel is named by its type alone; without, same-type channels are numbered.
void live_channel_label(const data::SensorReport *report, int channel, ChannelLabel *label) {
  if (report->channel_meta == nullptr) {
    channel_display_name(report, channel, label);
    return;
  }
  std::memset(label, 0, sizeof *label);
  label->type = report->channel_meta[channel].type;
  lookup_units_map(label);
}

}  // namespace

int all_values_invalid(const data::SensorReport *report) {
  if (report == nullptr) return 1;
  for (int i = 0; i < reported_channels(report); ++i) {
    float value = report->values[i];
    // A NaN passes here (neither comparison holds) and is written as "NaN".
    if (!(value >= kInvalidValueThreshold || value == 0.0f)) return 0;
  }
  return 1;
}

void report_live_data(const data::SensorReport *report) {
  if (report == nullptr || all_values_invalid(report)) return;

  json_object *channels = json_object_new_array();
  for (int i = 0; i < reported_channels(report); ++i) {
    ChannelLabel label{};
    live_channel_label(report, i, &label);
    json_object *points = json_object_new_array();
    json_object_array_add(points, new_point(0, report->values[i]));
    json_object_array_add(channels, new_channel_values(label.name, points));
  }
  json_object *data = new_data_object(report->base_time, channels);

  if (report->ReportType == 0) {
    JsonPtr body(new_data_body(report->sensor_id, data));
    publish_on_data_channel(report->sensor_id, body.get());
    return;
  }
  // Logged readings go to the cloud like the buffered records, rather than being dropped.
  JsonPtr body(json_object_new_array());
  json_object_array_add(body.get(), data);
  send_report(report->sensor_id, kLogReport, body.get());
}

}  // namespace vorn::cloud
