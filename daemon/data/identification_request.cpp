// Command 34, the Identification Request: a sensor (re)joining describes itself whole and lists
// its channels. It is answered at once, its identity kept, its channels published, its clock set.
#include <gateway_lib/utils.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "cloud/cloud_agent.h"
#include "cloud/device_reports.h"
#include "data/channel_metadata.h"
#include "data/frame_handlers.h"
#include "data/sensor_texts.h"
#include "data/sensor_upkeep.h"
#include "devices/reconcile.h"
#include "firmware/firmware_download.h"
#include "shared/request_builders.h"

namespace vorn::data {

namespace {

constexpr std::size_t kChannelEntrySize = 21;

struct IdentificationFields {
  std::uint8_t sensor_tag[8] = {};
  std::uint8_t model_version[4] = {};
  std::uint8_t sensor_version[4] = {};
  std::uint16_t manufacturing_date = 0;
  std::uint16_t calibration_date = 0;
  std::int8_t op_voltage = 0;  // tenths of a volt
  std::int8_t op_temperature = 0;
  std::uint16_t event_interval = 0;
  std::vector<shared::ChannelMeta> channels;
};

// Reads the whole frame into the report (identity, status, trailer) and `fields`. Null when the
// frame holds everything its channel count announces; otherwise why it is refused.
const char *read_identification(const SensorFrame &frame, IdentificationFields &fields, shared::SensorReport &report) {
  FrameReader reader(frame.app, frame.app_size, 12);
  if (const std::uint8_t *tag = reader.take(8)) std::memcpy(fields.sensor_tag, tag, 8);
  report.status_word = reader.u16();
  report.battery_raw = reader.u16();
  report.status_extra = reader.u16();
  reader.text(report.manufacturer, 32);
  reader.text(report.model_name, 32);
  reader.text(report.model_number, 32);
  if (const std::uint8_t *version = reader.take(4)) std::memcpy(fields.model_version, version, 4);
  if (const std::uint8_t *version = reader.take(4)) std::memcpy(fields.sensor_version, version, 4);
  fields.manufacturing_date = reader.u16();
  fields.calibration_date = reader.u16();
  report.identity_word_1 = reader.u32();
  report.identity_word_2 = reader.u32();
  report.identity_half = reader.u16();
  reader.text(report.device_name, 16);
  fields.op_voltage = reader.s8();
  fields.op_temperature = reader.s8();
  fields.event_interval = reader.u16();
  const std::uint8_t count = reader.u8();
  if (!reader.ok()) return "frame shorter than its identity";
  if (count > shared::kMaxChannels) return "more than 10 channels";
  if (!reader.fits(count * kChannelEntrySize + 9)) return "frame shorter than its channel list";
  fields.channels.resize(count, shared::ChannelMeta{});
  for (shared::ChannelMeta &channel : fields.channels) {
    std::memcpy(channel.name, reader.take(16), 16);
    channel.type = reader.u8();
    std::memcpy(channel.unit, reader.take(4), 4);
  }
  report.trailer_byte = reader.u8();
  report.trailer_word_1 = reader.u32();
  report.trailer_word_2 = reader.u32();
  return nullptr;
}

void fill_report(const IdentificationFields &fields, shared::SensorReport &report) {
  std::memcpy(report.sensor_tag, fields.sensor_tag, sizeof report.sensor_tag);
  version_text(fields.model_version, report.model_version);
  version_text(fields.sensor_version, report.sensor_version);
  packed_date_text(fields.manufacturing_date, report.manufacturing_date, sizeof report.manufacturing_date);
  packed_date_text(fields.calibration_date, report.calibration_date, sizeof report.calibration_date);
  if (check_ascii(report.device_name, static_cast<int>(std::strlen(report.device_name))) == 0) {
    std::memset(report.device_name, 0, sizeof report.device_name);
    std::snprintf(report.device_name, sizeof report.device_name, "Device_%02X%02X%02X%02X", report.sensor_tag[2],
                  report.sensor_tag[3], report.sensor_tag[4], report.sensor_tag[5]);
  }
  report.op_voltage = static_cast<float>(fields.op_voltage) / 10.0f;
  report.op_temperature = fields.op_temperature;
  report.event_interval = fields.event_interval;
  report.channel_count = static_cast<std::uint8_t>(fields.channels.size());
  report.power_source = report.status_word & 1;
  if (report.power_source) report.battery = static_cast<float>(report.battery_raw) / 10.0f;
}

struct Comparison {
  bool information_changed = false;
  bool channels_changed = false;
  bool sensor_version_changed = false;
};

Comparison compare_with_entry(const shared::SensorReport &report, const shared::DeviceListEntry &entry, std::int64_t now) {
  Comparison result;
  const bool force = report.power_source && (report.status_word & 2);
  result.sensor_version_changed = std::strncmp(entry.SensorVersion, report.sensor_version, 16) != 0;
  if (entry.report_state == 0) return result;
  result.information_changed =
      entry.power_source != report.power_source ||
      (entry.power_source == 1 && report.power_source == 1 && (force || entry.battery != report.battery)) ||
      now - static_cast<std::int64_t>(entry.last_info_report) > kDay ||
      std::strncmp(entry.ManuFacturer, report.manufacturer, 32) != 0 ||
      std::strncmp(entry.ModelNumber, report.model_number, 32) != 0 ||
      std::strncmp(entry.ModelVersion, report.model_version, 16) != 0 || result.sensor_version_changed;
  result.channels_changed = entry.channel_count != 0 && entry.channel_count != report.channel_count;
  return result;
}

void keep_identity(const SensorFrame &frame, const shared::SensorReport &report, shared::DeviceListEntry &entry) {
  core::copy_ext_address(entry.ExtAddress, frame.ext_address);
  keep_power_status(report, entry);
  shared::store_text(entry.ManuFacturer, report.manufacturer);
  shared::store_text(entry.ModelName, report.model_name);
  shared::store_text(entry.ModelNumber, report.model_number);
  shared::store_text(entry.ModelVersion, report.model_version);
  shared::store_text(entry.SensorVersion, report.sensor_version);
  shared::store_text(entry.ManufacturerDate, report.manufacturing_date);
  shared::store_text(entry.SensorCalDate, report.calibration_date);
  entry.identity_word_1 = report.identity_word_1;
  entry.identity_word_2 = report.identity_word_2;
  entry.identity_half = report.identity_half;
  shared::store_text(entry.DeviceName, report.device_name);
  entry.op_voltage = report.op_voltage;
  entry.op_temp = report.op_temperature;
  entry.EventInterval = report.event_interval;
  entry.channel_count = report.channel_count;
  // The channels the sensor describes are the ones its data frames carry. Kept with their count,
  // its first data frame does not take them for a change and send the whole first report set
  // again, with the units map's names over the sensor's own.
  if (report.channel_meta != nullptr) {
    for (int i = 0; i < shared::kMaxChannels; ++i) {
      const bool described = i < report.channel_count;
      entry.channel_types[i] = described ? report.channel_meta[i].type : 0;
      shared::store_text(entry.channel_units[i], described ? report.channel_meta[i].unit : "");
    }
  }
  entry.trailer_byte = report.trailer_byte;
  entry.trailer_word_1 = report.trailer_word_1;
  entry.trailer_word_2 = report.trailer_word_2;
}

void write_sensorlist(const char *id, int short_address, const shared::SensorReport &report) {
  set_sensor_options(id, short_address,
                     {{"ManuFacturer", report.manufacturer},
                      {"ModelName", report.model_number},  // the section names the model by its number
                      {"ModelNumber", report.model_number},
                      {"ModelVersion", report.model_version},
                      {"SensorVersion", report.sensor_version},
                      {"ManufacturerDate", report.manufacturing_date},
                      {"SensorCalDate", report.calibration_date},
                      {"DeviceName", report.device_name}},
                     report.event_interval);
}

// The cloud reports of an identification, decided under the entry's guard and sent after it.
void report_identity(SensorFrame &frame, const Comparison &comparison, std::int64_t now) {
  shared::SensorReport &report = frame.report;
  const bool with_meta = report.channel_meta != nullptr;
  bool first = false, information = false;
  with_entry(frame, [&](shared::DeviceListEntry &entry) {
    if (entry.report_state == 0) {
      first = true;
      entry.report_state = 1;
    } else {
      information = comparison.information_changed;
    }
    if ((first || information) && report.op_temperature > 0) entry.last_info_report = static_cast<std::uint32_t>(now);
  });
  if (first) {
    cloud::report_joined(&report);
    if (with_meta) cloud::report_channel_list_meta(&report);
    cloud::report_device_info(&report);
    cloud::report_settings(&report);
    return;
  }
  if (information) cloud::report_device_info(&report);
  if (comparison.channels_changed && with_meta) cloud::report_channel_list_meta(&report);
}

}  // namespace

void handle_identification_request(SensorFrame &frame) {
  shared::SensorReport &report = frame.report;
  IdentificationFields fields;
  if (const char *why = read_identification(frame, fields, report)) return refuse_frame(frame, why);
  std::memcpy(report.sensor_id, frame.ext_text, sizeof frame.ext_text);
  if (removal_requested(frame)) return;

  // The answer carries the interval on record for the sensor.
  devices::load_event_interval(frame.short_address, frame.ext_address);
  const int interval_on_record =
      with_entry(frame, [](const shared::DeviceListEntry &entry) { return entry.EventInterval; });

  fill_report(fields, report);
  if (!fields.channels.empty()) report.channel_meta = fields.channels.data();
  const std::int64_t now = unix_now();
  Comparison comparison = with_entry(frame, [&](shared::DeviceListEntry &entry) {
    const Comparison found = compare_with_entry(report, entry, now);
    keep_identity(frame, report, entry);
    return found;
  });
  // Answered only once the entry holds the sensor's firmware version: the sensor sends data as
  // soon as it is answered, and its frames are read by the layout that version selects.
  // The answer carries the interval on record; the report goes on with the sensor's own.
  report.event_interval = interval_on_record;
  shared::send_sensor_reply(shared::kIdentificationReply, frame.short_address, report);
  report.event_interval = fields.event_interval;

  int channels_changed = 0;
  if (report.channel_meta != nullptr)
    channels_changed = publish_channel_meta(report.sensor_id, report.channel_meta, report.channel_count);
  comparison.channels_changed = comparison.channels_changed || channels_changed != 0;
  // The check reads the model on record in sensorlist, which is written below.
  if (comparison.sensor_version_changed) firmware::check_msp430_version(report.sensor_id, report.sensor_version);
  // The entry holds the sensor now: its section is made sure of if its join is still in hand.
  write_sensorlist(report.sensor_id, in_device_list(frame) ? frame.short_address : -1, report);

  if (in_device_list(frame) && report.sensor_id[0] != '\0' && core::ext_address_is_set(frame.ext_address)) {
    sync_sensor_clock(frame, now);
    if (cloud::cloud_agent_ready() == 0) report_identity(frame, comparison, now);
  }
  if (report.channel_meta != nullptr) check_stored_channels(report.sensor_id, report.channel_meta, report.channel_count);
  report.channel_meta = nullptr;
  reconcile_event_interval(frame.short_address, report.sensor_id, fields.event_interval);
}

}  // namespace vorn::data
