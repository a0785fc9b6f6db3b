// The buffered measurement report: every stored record of a Data Frame Request, per channel.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cloud/cloud_agent.h"
#include "cloud/json_document.h"
#include "cloud/measurement_document.h"
#include "cloud/measurement_reports.h"
#include "cloud/report_channels.h"

namespace vorn::cloud {

namespace {

// The service manager starts a stopped agent again within seconds; a minute covers that.
constexpr unsigned kAgentWaits = 20;
constexpr unsigned kAgentWaitSeconds = 3;

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

int report_buffered_data(const shared::SensorReport *report) {
  if (report == nullptr || report->channel_meta == nullptr || report->records == nullptr) return 0;

  json_object *channels = json_object_new_array();
  for (int i = 0; i < reported_channels(report); ++i)
    json_object_array_add(channels, new_channel_values(bounded_text(report->channel_meta[i].name), record_points(report, i)));
  // The no-alarm flag marks logged records: those go to the cloud, the others to shared memory.
  return deliver_measurements(report->sensor_id, report->no_alarm != 0, new_data_object(report->base_time, channels));
}

void report_answered_records(const shared::SensorReport *report) {
  const OneReportCount one_report;
  int result = report_buffered_data(report);
  if (!agent_was_absent(result)) return;
  std::printf("\tRecords of %s answered: waiting for Cloud_Agent\n", report->sensor_id);
  for (unsigned i = 0; i < kAgentWaits && agent_was_absent(result); ++i) {
    sleep(kAgentWaitSeconds);
    result = report_buffered_data(report);
  }
  if (agent_was_absent(result))
    std::printf("\t%d records of %s lost: Cloud_Agent away for %u s\n", report->record_count, report->sensor_id,
                kAgentWaits * kAgentWaitSeconds);
}

}  // namespace vorn::cloud
