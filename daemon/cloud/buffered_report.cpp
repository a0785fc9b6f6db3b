// The buffered measurement report: every stored record of a Data Frame Request, per channel.
#include <cstdlib>

#include "cloud/json_document.h"
#include "cloud/measurement_document.h"
#include "cloud/measurement_reports.h"
#include "cloud/report_channels.h"

namespace vorn::cloud {

namespace {

// One point per record, "T" the distance from the base time in either direction. A record whose
// value array is missing has no point.
json_object *record_points(const shared::SensorReport *report, int channel) {
  json_object *points = json_object_new_array();
  for (int j = 0; j < report->record_count; ++j) {
    const shared::DataRecord &record = report->records[j];
    if (record.values == nullptr) continue;
    std::int64_t offset = std::llabs(static_cast<std::int64_t>(record.time) - report->base_time);
    json_object_array_add(points, new_point(offset, record.values[channel]));
  }
  return points;
}

}  // namespace

void report_buffered_data(const shared::SensorReport *report) {
  if (report == nullptr || report->channel_meta == nullptr || report->records == nullptr) return;

  json_object *channels = json_object_new_array();
  for (int i = 0; i < reported_channels(report); ++i)
    json_object_array_add(channels, new_channel_values(bounded_text(report->channel_meta[i].name), record_points(report, i)));
  // The no-alarm flag marks logged records: those go to the cloud, the others to shared memory.
  deliver_measurements(report->sensor_id, report->no_alarm != 0, new_data_object(report->base_time, channels));
}

}  // namespace vorn::cloud
