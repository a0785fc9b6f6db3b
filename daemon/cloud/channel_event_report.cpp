// Type 6: an event (alarm) raised on one channel, named as the channel is named elsewhere.
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "cloud/device_reports.h"
#include "cloud/json_document.h"
#include "cloud/report_channels.h"
#include "cloud/report_envelope.h"
#include "cloud/units_map.h"

namespace vorn::cloud {

void report_channel_event(const shared::SensorReport *report, int channel, int event_type, const char *value,
                          int level, const char *message) {
  // Only a channel the report has can be named (the metadata has one entry per channel).
  if (report == nullptr || channel < 0 || channel >= reported_channels(report)) return;
  if (report->channel_types[channel] == 0 && value == nullptr && message == nullptr) return;

  ChannelLabel source{};
  if (report->channel_meta != nullptr)
    std::snprintf(source.name, sizeof source.name, "%.*s", static_cast<int>(sizeof report->channel_meta[channel].name),
                  report->channel_meta[channel].name);
  else
    channel_display_name(report, channel, &source);

  json_object *event = json_object_new_object();
  add_int(event, "Time", static_cast<std::int64_t>(std::time(nullptr)) * 1000);
  add_string(event, "Source", source.name);
  add_int(event, "Type", event_type);
  add_string(event, "Value", value != nullptr ? value : "");
  add_int(event, "Level", level);
  add_string(event, "Msg", message != nullptr ? message : "");
  JsonPtr body(json_object_new_array());
  json_object_array_add(body.get(), event);
  send_report(report->sensor_id, kChannelEventReport, body.get());
}

}  // namespace vorn::cloud
