// Command 2, ConfigRsp: an older sensor's answer to the configuration request. It carries the
// sensor's versions and identity; the first one also decodes the values the sensor sent before
// its version was known, and an owed time synchronisation is sent with it.
#include <cstdio>
#include <cstring>

#include "cloud/cloud_agent.h"
#include "cloud/device_reports.h"
#include "cloud/measurement_reports.h"
#include "core/log_line.h"
#include "data/channel_values.h"
#include "data/frame_handlers.h"
#include "data/sensor_texts.h"
#include "data/sensor_upkeep.h"
#include "shared/request_builders.h"

namespace vorn::data {

namespace {

constexpr std::size_t kShortestConfigRsp = 30;  // frames of this total length or less carry nothing
constexpr std::uint32_t kModelNameFrom = 0x00090005;      // versions above it send a model name
constexpr std::uint32_t kEventIntervalFrom = 0x00090003;  // versions above it send their interval
constexpr std::uint16_t kEventIntervalCommand = 1;

struct ConfigFields {
  char model_version[16] = {};
  char sensor_version[16] = {};
  char manufacturer[32] = {};
  char model_name[33] = {};
  char model_number[32] = {};
  char calibration_date[11] = {};
  bool has_model_name = false;
  bool has_event_interval = false;
  std::uint16_t event_interval = 0;
};

bool read_config(const SensorFrame &frame, ConfigFields &fields) {
  FrameReader reader(frame.app, frame.app_size, 14);
  const std::uint8_t *model_version = reader.take(4);
  const std::uint8_t *sensor_version = reader.take(4);
  if (!reader.ok()) return false;
  version_text(model_version, fields.model_version);
  version_text(sensor_version, fields.sensor_version);
  const std::uint32_t version = version_number(model_version);
  reader.text(fields.manufacturer, 32);
  fields.has_model_name = version > kModelNameFrom;
  if (fields.has_model_name) reader.text(fields.model_name, 32);
  reader.text(fields.model_number, 32);
  packed_date_text(reader.u16(), fields.calibration_date, sizeof fields.calibration_date);
  fields.has_event_interval = version > kEventIntervalFrom;
  if (fields.has_event_interval) fields.event_interval = reader.u16();
  return reader.ok();
}

void print_config(std::uint16_t short_address, const char *ext_text, const ConfigFields &fields) {
  core::log_line("ConfigRsp: 0x%04X-%s\n", short_address,
                 ext_text);
  std::printf("\tManufacturer: %s\n", fields.manufacturer);
  if (fields.has_model_name) std::printf("\tModelName: %s\n", fields.model_name);
  std::printf("\tModelNumber: %s\n", fields.model_number);
  std::printf("\tModelVersion: %s\n", fields.model_version);
  std::printf("\tSensorVersion: %s\n", fields.sensor_version);
  std::printf("\tSensorCalDate: %s\n", fields.calibration_date);
}

// Asks a sensor that does not send its interval for it; its Get Sensor Response stores it.
void ask_event_interval(std::uint16_t short_address) {
  std::uint8_t record[shared::kRequestRecordHeader + 6 + 8] = {};  // command and integer, then a double 0
  std::snprintf(reinterpret_cast<char *>(record), 5, "%04X", short_address);
  core::write_le16(core::write_le16(record + 4, 3), kEventIntervalCommand);
  shared::send_get_sensor_req(record, sizeof record);
}

void write_sensorlist(const char *id, std::uint16_t short_address, const ConfigFields &fields, int event_interval) {
  set_sensor_options(id, short_address,
                     {{"ManuFacturer", fields.manufacturer},
                      {"ModelName", fields.model_name},
                      {"ModelNumber", fields.model_number},
                      {"ModelVersion", fields.model_version},
                      {"SensorVersion", fields.sensor_version},
                      {"SensorCalDate", fields.calibration_date}},
                     event_interval > 0 ? std::optional(event_interval) : std::nullopt);
}

void fill_report(const shared::DeviceListEntry &entry, const char *ext_text, shared::SensorReport &report) {
  shared::store_text(report.sensor_id, ext_text);
  copy_identity_texts(entry, report);
  report.channel_count = entry.channel_count < shared::kMaxChannels ? entry.channel_count : shared::kMaxChannels;
  std::memcpy(report.channel_types, entry.channel_types, sizeof report.channel_types);
  for (int i = 0; i < shared::kMaxChannels; ++i) shared::store_text(report.channel_units[i], entry.channel_units[i]);
  report.power_source = entry.power_source;
  report.battery = entry.battery;
  report.op_temperature = entry.op_temp;
  report.op_voltage = entry.op_voltage;
}

struct ReportPlan {
  bool first_report_set = false;
  bool live_data = false;
  bool device_info = false;
  bool settings = false;
};

ReportPlan plan_reports(shared::SensorReport &report, bool identity_changed, std::int64_t now, shared::DeviceListEntry &entry) {
  ReportPlan plan;
  const int interval = report.event_interval;
  if (entry.report_state == 0) {
    plan.first_report_set = true;
    // A sensor that does not send its interval keeps the one on record until it answers.
    if (interval > 0) entry.EventInterval = interval;
    entry.report_state = 1;
    entry.time_sync_pending = 1;
    if (report.op_temperature > 0) entry.last_info_report = static_cast<std::uint32_t>(now);
    if (entry.ModelVersion[0] != '\0') {
      decode_stored_values(report, entry);
      plan.live_data = true;
    }
    return plan;
  }
  if (identity_changed) {
    plan.device_info = true;
    if (report.op_temperature > 0) entry.last_info_report = static_cast<std::uint32_t>(now);
  }
  if (interval > 0 && interval != entry.EventInterval) {
    entry.EventInterval = interval;
    plan.settings = true;
  }
  return plan;
}

void send_reports(const shared::SensorReport &report, const ReportPlan &plan) {
  if (plan.first_report_set) {
    cloud::report_joined(&report);
    cloud::report_channel_list(&report);
    cloud::report_device_info(&report);
    cloud::report_settings(&report);
  }
  if (plan.live_data) cloud::report_live_data(&report);  // base time 0, ReportType 0: the report is fresh
  if (plan.device_info) cloud::report_device_info(&report);
  if (plan.settings) cloud::report_settings(&report);
}

}  // namespace

void handle_config_response(SensorFrame &frame) {
  if (frame.total_length <= kShortestConfigRsp) return;
  ConfigFields fields;
  if (!read_config(frame, fields)) return refuse_frame(frame, "frame shorter than its configuration");

  shared::SensorReport &report = frame.report;
  char ext_text[core::kExtAddressTextSize];
  bool ext_known = false;
  const bool identity_changed = with_entry(frame, [&](shared::DeviceListEntry &entry) {
    const bool changed = std::strncmp(entry.ModelVersion, fields.model_version, 16) != 0 ||
                         std::strncmp(entry.SensorVersion, fields.sensor_version, 16) != 0;
    shared::store_text(entry.ModelVersion, fields.model_version);
    shared::store_text(entry.SensorVersion, fields.sensor_version);
    shared::store_text(entry.ManuFacturer, fields.manufacturer);
    shared::store_text(entry.ModelNumber, fields.model_number);
    shared::store_text(entry.SensorCalDate, fields.calibration_date);
    ext_known = core::ext_address_is_set(entry.ExtAddress);
    core::ext_address_text(entry.ExtAddress, ext_text);
    return changed;
  });
  print_config(frame.short_address, ext_text, fields);
  if (fields.has_event_interval) {
    std::printf("\tEventInterval: %d\n", fields.event_interval);
    report.event_interval = fields.event_interval;
  } else {
    ask_event_interval(frame.short_address);
  }
  if (!ext_known) {
    std::fputs("\tExtAddr is wrong.\n", stdout);
    return;
  }
  write_sensorlist(ext_text, frame.short_address, fields, report.event_interval);
  with_entry(frame, [&](shared::DeviceListEntry &entry) {
    entry.config_rsp_uptime = static_cast<std::uint32_t>(core::uptime_seconds());
    fill_report(entry, ext_text, report);
  });

  const std::int64_t now = unix_now();
  if (cloud::cloud_agent_ready() == 0) {
    const ReportPlan plan = with_entry(
        frame, [&](shared::DeviceListEntry &entry) { return plan_reports(report, identity_changed, now, entry); });
    send_reports(report, plan);
  }
  sync_owed_clock(frame, now);
}

}  // namespace vorn::data
