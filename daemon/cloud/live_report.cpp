// The live measurement report: one value per channel at the frame's base time.
#include "cloud/measurement_document.h"
#include "cloud/measurement_reports.h"
#include "cloud/report_channels.h"
#include "cloud/units_map.h"

namespace vorn::cloud {

int all_values_invalid(const shared::SensorReport *report) {
  if (report == nullptr) return 1;
  for (int i = 0; i < reported_channels(report); ++i) {
    float value = report->values[i];
    // A NaN passes here (neither comparison holds) and is written as "NaN".
    if (!(value >= kInvalidValueThreshold || value == 0.0f)) return 0;
  }
  return 1;
}

void report_live_data(const shared::SensorReport *report) {
  if (report == nullptr || all_values_invalid(report)) return;

  json_object *channels = json_object_new_array();
  for (int i = 0; i < reported_channels(report); ++i) {
    // With metadata every channel is named by its type alone; without, same-type channels are numbered.
    ChannelLabel label{};
    if (report->channel_meta != nullptr)
      label = lookup_type_label(report->channel_meta[i].type);
    else
      channel_display_name(report, i, &label);
    json_object *points = json_object_new_array();
    json_object_array_add(points, new_point(0, report->values[i]));
    json_object_array_add(channels, new_channel_values(label.name, points));
  }
  // Logged readings go to the cloud like the buffered records, rather than being dropped.
  deliver_measurements(report->sensor_id, report->ReportType != 0, new_data_object(report->base_time, channels));
}

}  // namespace vorn::cloud
