// Command 32, the Data Frame Request: measurements a sensor buffered, several time-stamped
// records of every channel. Answered, alarmed through the platform's persistent error flags and
// forwarded as one buffered report, named by the channel list the sensor published.
#include <gateway_lib/alarm_flags.h>
#include <gateway_lib/sensor_registry.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "cloud/cloud_agent.h"
#include "cloud/device_reports.h"
#include "cloud/measurement_reports.h"
#include "core/log_line.h"
#include "data/channel_metadata.h"
#include "data/channel_values.h"
#include "data/frame_handlers.h"
#include "data/sensor_upkeep.h"
#include "firmware/firmware_download.h"
#include "shared/answered_records.h"
#include "shared/request_builders.h"
#include "shared/status_counters.h"

namespace vorn::data {

namespace {

constexpr int kStateWaits = 3;
constexpr unsigned kStateWaitSeconds = 3;
constexpr std::uint16_t kReplyValue = 10;

struct RequestFields {
  const std::uint8_t *sensor_tag = nullptr;
  std::uint8_t status_byte = 0;
  std::uint16_t status_word = 0;
  std::uint16_t battery_raw = 0;
  std::uint16_t status_extra = 0;
  std::uint8_t no_alarm = 0;
  std::int8_t op_voltage = 0;
  std::int8_t op_temperature = 0;
  std::uint8_t record_count = 0;
  std::uint8_t channel_count = 0;
  const std::uint8_t *records = nullptr;  // record_count records of 4 + 4 * channel_count bytes, all received
};

const char *read_request(const SensorFrame &frame, RequestFields &fields) {
  FrameReader reader(frame.app, frame.app_size, 12);
  fields.sensor_tag = reader.take(8);
  fields.status_byte = reader.u8();
  fields.status_word = reader.u16();
  fields.battery_raw = reader.u16();
  fields.status_extra = reader.u16();
  fields.no_alarm = reader.u8();
  fields.op_voltage = reader.s8();
  fields.op_temperature = reader.s8();
  fields.record_count = reader.u8();
  fields.channel_count = reader.u8();
  if (!reader.ok()) return "frame shorter than its header";
  if (fields.channel_count > shared::kMaxChannels) return "more than 10 channels";
  fields.records = reader.take(fields.record_count * (4 + 4 * std::size_t{fields.channel_count}));
  return reader.ok() ? nullptr : "frame shorter than its records";
}

// The records with their values, owned here; the report points into them.
struct Records {
  std::vector<shared::DataRecord> records;
  std::vector<float> values;
  std::vector<std::uint16_t> error_codes;
};

// Decodes the records into `store`; true when a record's time shows the sensor's clock is off.
bool decode_records(const RequestFields &fields, std::int64_t now, std::uint32_t last_time_sync, Records &store) {
  const std::size_t n = fields.channel_count;
  store.records.assign(fields.record_count, shared::DataRecord{});
  store.values.assign(fields.record_count * n, 0.0f);
  store.error_codes.assign(fields.record_count * n, 0);
  bool clock_off = false;
  FrameReader reader(fields.records, fields.record_count * (4 + 4 * n));
  for (std::size_t i = 0; i < store.records.size(); ++i) {
    shared::DataRecord &record = store.records[i];
    const std::int64_t time = static_cast<std::int64_t>(reader.u32()) + kSensorEpoch;
    record.time = static_cast<std::int32_t>(static_cast<std::uint32_t>(time));
    record.values = n > 0 ? &store.values[i * n] : nullptr;
    record.error_codes = n > 0 ? &store.error_codes[i * n] : nullptr;
    if (clock_needs_setting(now, time, last_time_sync)) clock_off = true;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint16_t word_a = reader.u16();
      const ChannelReading reading = decode_record_value(word_a, reader.u16());
      if (reading.in_error) std::printf("%s\n", channel_error(reading.error_code).console_name);
      record.values[j] = reading.value;
      record.error_codes[j] = reading.error_code;
    }
  }
  return clock_off;
}

// Raises an alarm for a channel newly in error and clears the flag of a channel that recovered;
// the flags persist in the platform store, so an error is alarmed once however often it comes.
static_assert(sizeof(channel_entry) == sizeof(shared::ChannelMeta));

void keep_alarms(const shared::SensorReport &report, const shared::ChannelMeta *meta, int described) {
  const int n = report.channel_count < described ? report.channel_count : described;
  for (int i = 0; i < report.record_count; ++i) {
    const shared::DataRecord &record = report.records[i];
    if (record.error_codes == nullptr) continue;
    for (int j = 0; j < n; ++j) {
      channel_entry channel;
      std::memcpy(&channel, &meta[j], sizeof channel);
      const int flag = get_error_flag(report.sensor_id, &channel);
      if (record.error_codes[j] != 0 && flag == 0) {
        const ChannelError &error = channel_error(record.error_codes[j]);
        cloud::report_channel_event(&report, j, 1, error.alarm_name, 0, error.message);
        set_error_flag(report.sensor_id, &channel, 1);
      } else if (record.error_codes[j] == 0 && flag != 0) {
        set_error_flag(report.sensor_id, &channel, 0);
      }
    }
  }
}

std::uint8_t report_state(SensorFrame &frame) {
  return with_entry(frame, [](const shared::DeviceListEntry &entry) { return entry.report_state; });
}

// Waits up to 9 s for an Identification Request handled meanwhile to make the sensor known, then
// asks the platform whether it knows the sensor.
bool wait_until_known(SensorFrame &frame) {
  for (int i = 0; i < kStateWaits && report_state(frame) == 0; ++i) sleep(kStateWaitSeconds);
  if (report_state(frame) == 0 && is_sensor_registered(frame.report.sensor_id) != 0)
    with_entry(frame, [](shared::DeviceListEntry &entry) {
      if (entry.report_state == 0) entry.report_state = 1;
    });
  return report_state(frame) != 0;
}

// Whether the information report is due, as the entry has it before this frame's values are kept.
bool information_due(const shared::SensorReport &report, shared::DeviceListEntry &entry, std::int64_t now) {
  if (entry.report_state == 0) return false;
  const bool force = report.power_source && (report.status_word & 2);
  if (entry.power_source != report.power_source) return true;
  if (entry.power_source == 1 && report.power_source == 1 && (force || entry.battery != report.battery)) return true;
  const int rssi_step = report.rssi - entry.rssi;
  if (rssi_step > 1 || rssi_step < -1) return true;
  if (now - static_cast<std::int64_t>(entry.last_info_report) > kDay) return true;
  // A slow-reporting sensor is described to the cloud hourly as well.
  if (entry.EventInterval > kFastInterval) return false;
  if (now - static_cast<std::int64_t>(entry.last_config_request) < kConfigRequestPeriod) return false;
  entry.last_config_request = static_cast<std::uint32_t>(now);
  return true;
}

void keep_status(const shared::SensorReport &report, shared::DeviceListEntry &entry) {
  keep_power_status(report, entry);
  entry.status_32 = report.status_byte;
  entry.op_voltage = report.op_voltage;
  entry.op_temp = report.op_temperature;
  entry.rssi = report.rssi;
  entry.channel_count = report.channel_count;
}

// The channel descriptions the report names the records by: those the sensor published, and for
// channels it did not describe (a sensor that answers a configuration request publishes none, and
// a list may not be there yet) the names the gateway has for them. The records the sensor is told
// were taken must reach the cloud named somehow, never not at all. `*described` counts the
// published ones, the only ones with persistent alarm flags.
std::vector<shared::ChannelMeta> channels_for_report(SensorFrame &frame, int count, int *described) {
  std::vector<shared::ChannelMeta> meta = read_channel_meta(frame.report.sensor_id, count, described);
  if (*described >= count) return meta;
  const shared::DeviceListEntry entry = with_entry(frame, [](const shared::DeviceListEntry &e) { return e; });
  const std::vector<shared::ChannelMeta> on_record = channels_on_record(entry, count);
  meta.resize(static_cast<std::size_t>(count), shared::ChannelMeta{});
  for (int i = *described; i < count; ++i) meta[static_cast<std::size_t>(i)] = on_record[static_cast<std::size_t>(i)];
  std::printf("\t%d of %d channels of %s not described by the sensor: named as the gateway knows them\n",
              count - *described, count, frame.report.sensor_id);
  return meta;
}

void serve_request(SensorFrame &frame, const RequestFields &fields) {
  shared::SensorReport &report = frame.report;
  // The wait gives an identification handled meanwhile the time to publish the channel list.
  wait_until_known(frame);
  int described = 0;
  std::vector<shared::ChannelMeta> meta = channels_for_report(frame, fields.channel_count, &described);
  report.channel_meta = meta.empty() ? nullptr : meta.data();

  report.frame_control = frame.frame_ctl;
  std::memcpy(report.sensor_tag, fields.sensor_tag, sizeof report.sensor_tag);
  report.status_byte = fields.status_byte;
  report.status_word = fields.status_word;
  report.battery_raw = fields.battery_raw;
  report.status_extra = fields.status_extra;
  report.no_alarm = fields.no_alarm;
  report.op_voltage = static_cast<float>(fields.op_voltage) / 10.0f;
  report.op_temperature = fields.op_temperature;
  report.record_count = fields.record_count;
  report.channel_count = fields.channel_count;
  report.reply_value = kReplyValue;

  const std::int64_t now = unix_now();
  const std::uint32_t last_time_sync =
      with_entry(frame, [](const shared::DeviceListEntry &entry) { return entry.last_time_sync; });
  Records store;
  const bool clock_off = decode_records(fields, now, last_time_sync, store);
  report.records = store.records.empty() ? nullptr : store.records.data();
  if (report.records != nullptr) report.base_time = report.records[0].time;
  // Records that go to the cloud agent are held by this handler until the agent takes them, once
  // the sensor is answered: only so many handlers may hold them at once.
  const bool for_the_agent = report.records != nullptr && report.channel_meta != nullptr && report.no_alarm != 0;
  std::optional<shared::AnsweredRecords> held;
  if (for_the_agent) held.emplace(report.sensor_id, report.record_count);
  if (held && !held->held()) {
    shared::count_request_not_answered();
    core::log_line("Data Frame Request of %s not answered: %d handlers hold answered records for Cloud_Agent "
                   "already; the sensor keeps its %d records\n",
                   report.sensor_id, shared::answer_limit(), report.record_count);
    report.channel_meta = nullptr;
    report.records = nullptr;
    return;
  }
  if (report.no_alarm == 0 && report.channel_meta != nullptr) keep_alarms(report, report.channel_meta, described);

  shared::send_sensor_reply(shared::kDataFrameReply, frame.short_address, report);
  if (held) held->answered();
  if (clock_off) sync_sensor_clock(frame, now);

  report.power_source = report.status_word & 1;
  if (report.power_source) report.battery = static_cast<float>(report.battery_raw) / 10.0f;
  bool known = false;
  const bool information = with_entry(frame, [&](shared::DeviceListEntry &entry) {
    const bool due = information_due(report, entry, now);
    keep_status(report, entry);
    known = entry.report_state != 0;
    if (known && due) {
      copy_identity_texts(entry, report);
      if (report.op_temperature > 0) entry.last_info_report = static_cast<std::uint32_t>(now);
    }
    return due;
  });
  if (known && information) cloud::report_device_info(&report);
  // Answered records are reported also for a sensor not known yet: it has dropped them.
  if (report.records != nullptr && report.channel_meta != nullptr) cloud::report_answered_records(&report);
  report.channel_meta = nullptr;
  report.records = nullptr;
}

}  // namespace

void handle_data_frame_request(SensorFrame &frame) {
  RequestFields fields;
  if (const char *why = read_request(frame, fields)) return refuse_frame(frame, why);
  std::memcpy(frame.report.sensor_id, frame.ext_text, sizeof frame.ext_text);
  if (removal_requested(frame)) return;

  // Only a sensor that can be reported is answered.
  if (cloud::cloud_agent_ready() == 0 && in_device_list(frame) && frame.report.sensor_id[0] != '\0' &&
      core::ext_address_is_set(frame.ext_address))
    serve_request(frame, fields);

  const int interval = with_entry(frame, [](const shared::DeviceListEntry &entry) { return entry.EventInterval; });
  reconcile_event_interval(frame.short_address, frame.report.sensor_id, interval);
  firmware::finish_download_if_done(frame.report.sensor_id);
}

}  // namespace vorn::data
