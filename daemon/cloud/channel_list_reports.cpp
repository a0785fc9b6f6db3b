// Type 1: one {"N": name, "T": type text, "U": unit} per channel, either from the channel data of
// a sensor data frame or from the channel descriptions of an Identification Request.
#include <cstring>
#include <string_view>

#include "cloud/device_reports.h"
#include "cloud/json_document.h"
#include "cloud/report_channels.h"
#include "cloud/report_envelope.h"
#include "cloud/units_map.h"

namespace vorn::cloud {

namespace {

constexpr std::size_t kUnitLength = 4;

json_object *new_channel_entry(std::string_view name, const char *type_text, std::string_view unit) {
  json_object *entry = json_object_new_object();
  add_string(entry, "N", name);
  add_string(entry, "T", type_text);
  add_string(entry, "U", unit);
  return entry;
}

std::string_view unit_of(const char *unit) { return {unit, strnlen(unit, kUnitLength)}; }

}  // namespace

void report_channel_list(const shared::SensorReport *report) {
  if (report == nullptr || report->channel_count == 0) return;
  JsonPtr body(json_object_new_array());
  for (int i = 0; i < reported_channels(report); ++i) {
    ChannelLabel label{};
    const char *unit = report->channel_units[i];
    if (report->channel_meta != nullptr) {
      label = lookup_type_label(report->channel_meta[i].type);
      unit = report->channel_meta[i].unit;
    } else {
      channel_display_name(report, i, &label);
    }
    json_object_array_add(body.get(), new_channel_entry(label.name, label.type_text, unit_of(unit)));
  }
  send_report(report->sensor_id, kChannelListReport, body.get());
}

void report_channel_list_meta(const shared::SensorReport *report) {
  if (report == nullptr || report->channel_meta == nullptr) return;
  JsonPtr body(json_object_new_array());
  for (int i = 0; i < reported_channels(report); ++i) {
    const shared::ChannelMeta &meta = report->channel_meta[i];
    ChannelLabel label = lookup_type_label(meta.type);
    json_object_array_add(body.get(), new_channel_entry(bounded_text(meta.name), label.type_text, bounded_text(meta.unit)));
  }
  send_report(report->sensor_id, kChannelListReport, body.get());
}

}  // namespace vorn::cloud
