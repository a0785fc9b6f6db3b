// Until the report builders exist, each only says that it was not sent.
#include <cstdio>

#include "cloud/device_reports.h"
#include "cloud/measurement_reports.h"
#include "cloud/units_map.h"

namespace vorn::cloud {

namespace {

void not_sent(const char *kind, const data::SensorReport *report) {
  std::printf("%s report of %s not handled yet\n", kind, report ? report->sensor_id : "(none)");
}

}  // namespace

void report_joined(const data::SensorReport *report) { not_sent("Joined", report); }
void report_left(const data::SensorReport *report) {
  std::printf("Report of %s leaving not handled yet\n", report ? report->sensor_id : "(none)");
}
void report_channel_list(const data::SensorReport *report) { not_sent("Channel list", report); }
void report_channel_list_meta(const data::SensorReport *report) { not_sent("Channel list", report); }
void report_settings(const data::SensorReport *report) { not_sent("Settings", report); }
void report_device_info(const data::SensorReport *report) { not_sent("Device information", report); }
void report_channel_event(const data::SensorReport *report, int, int, const char *, int, const char *) {
  not_sent("Channel event", report);
}
void report_live_data(const data::SensorReport *report) { not_sent("Live data", report); }
void report_buffered_data(const data::SensorReport *report) { not_sent("Buffered data", report); }
int all_values_invalid(const data::SensorReport *report) { return report == nullptr || report->channel_count == 0; }
void lookup_units_map(ChannelLabel *) {}
void channel_display_name(const data::SensorReport *, int, ChannelLabel *) {}

}  // namespace vorn::cloud
