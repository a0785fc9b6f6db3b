#include "data/sensor_data_frame.h"

#include <cstdio>
#include <cstring>

#include "cloud/cloud_agent.h"
#include "cloud/device_reports.h"
#include "cloud/measurement_reports.h"
#include "core/log_line.h"
#include "data/frame_handlers.h"
#include "data/sensor_upkeep.h"

namespace vorn::data {

namespace {

constexpr std::uint16_t kSensorBlock = 0x0020;
constexpr std::uint16_t kOpValuesBlock = 0x0040;
constexpr std::uint16_t kPowerSourceBit = 0x0001;
constexpr std::uint16_t kBitPatternWords = 0x4000;
constexpr std::size_t kChannelBlockSize = 9;

// Blocks the daemon does not use, in frame order, by their FrameCtl bit.
struct SkippedBlock {
  std::uint16_t bit;
  std::size_t size;
};
constexpr SkippedBlock kSkippedBlocks[] = {{0x0001, 4}, {0x0002, 2}, {0x0004, 4}, {0x0008, 48}, {0x0010, 8}};

// The two FrameCtl values whose frames carry a time stamp, and the total lengths above which
// their frames also carry a ReportType byte.
constexpr std::uint16_t kShortTimedFrame = 0x0060;
constexpr std::uint16_t kLongTimedFrame = 0x0078;
constexpr std::size_t kShortTimedReportTypeAbove = 76;
constexpr std::size_t kLongTimedReportTypeAbove = 132;


void print_value(ChannelLayout layout, int i, std::uint8_t type, std::uint16_t hi, std::uint16_t lo,
                 const ChannelReading &reading, const char *unit) {
  if (reading.in_error) {
    std::printf("\t[%d] 0x%04X%04X ", i, hi, lo);
    std::printf("%s ", channel_error(reading.error_code).console_name);
    std::printf("%s\n", unit);
  } else if (layout == ChannelLayout::kFixedFour) {
    std::printf("\t[%d] 0x%04X%04X %.2f %s\n", i, hi, lo, reading.value, unit);
  } else {
    std::printf("\t[%d] 0x%02x 0x%04X %04X %.2f %s\n", i, type, hi, lo, reading.value, unit);
  }
}

void decode_channels(const SensorDataFields &fields, ChannelLayout layout, shared::SensorReport &report,
                     shared::DeviceListEntry &entry) {
  const bool bit_patterns = (fields.extension_status & kBitPatternWords) != 0;
  for (int i = 0; i < fields.blocks && i < fields.channel_count; ++i) {
    const SensorDataChannel &channel = fields.channels[i];
    std::memcpy(report.channel_units[i], channel.unit, 4);
    report.channel_units[i][4] = '\0';
    report.channel_types[i] = channel.type;
    if (layout == ChannelLayout::kUnversioned) {
      entry.value_high[i] = channel.word_a;
      entry.value_low[i] = channel.word_b;
      continue;
    }
    std::uint16_t hi = channel.word_a, lo = channel.word_b;
    if (layout == ChannelLayout::kCurrent && bit_patterns) hi = channel.word_b, lo = channel.word_a;
    const ChannelReading reading = layout == ChannelLayout::kFixedFour
                                       ? decode_fixed_four(channel.type, hi, lo)
                                       : decode_current(channel.type, hi, lo, bit_patterns);
    print_value(layout, i, channel.type, hi, lo, reading, report.channel_units[i]);
    keep_channel_reading(i, reading, report, entry);
  }
}

void keep_channels(const shared::SensorReport &report, shared::DeviceListEntry &entry) {
  entry.power_source = report.power_source;
  entry.channel_count = report.channel_count;
  entry.battery = report.battery;
  entry.rssi = report.rssi;
  std::memcpy(entry.channel_types, report.channel_types, sizeof entry.channel_types);
  std::memcpy(entry.channel_units, report.channel_units, sizeof entry.channel_units);
}

// What the reporting decided under the entry's guard, sent once the guard is released.
struct ReportPlan {
  bool add_to_list = false;
  bool first_report_set = false;
  bool device_info = false;
  bool alarm[shared::kMaxChannels] = {};
};

ReportPlan plan_reports(SensorFrame &frame, const SensorDataFields &fields, std::int64_t now) {
  shared::SensorReport &report = frame.report;
  return with_entry(frame, [&](shared::DeviceListEntry &entry) {
    ReportPlan plan;
    std::memcpy(report.sensor_id, frame.ext_text, sizeof frame.ext_text);
    report.frame_control = frame.frame_ctl;
    copy_identity_texts(entry, report);
    report.power_source = entry.power_source;
    if (entry.EventInterval > 0) report.event_interval = entry.EventInterval;
    plan.add_to_list = !core::ext_address_is_set(entry.ExtAddress);

    if (entry.report_state == 2) {
      plan.first_report_set = true;
      entry.report_state = 1;
      entry.last_info_report = static_cast<std::uint32_t>(now);
    } else if (entry.report_state == 1) {
      std::printf("\tLowPower: %d\n", fields.low_power);
      std::printf("\tBattery: %.1f %.1f\n", entry.battery, report.battery);
      const bool changed = fields.low_power != 0 || entry.battery != report.battery;
      entry.battery = report.battery;
      std::printf("\tcurrent_time: %ld %ld\n", static_cast<long>(now), static_cast<long>(entry.last_info_report));
      if (now - static_cast<std::int64_t>(entry.last_info_report) > kDay || changed) {
        plan.device_info = true;
        entry.last_info_report = static_cast<std::uint32_t>(now);
      }
    }
    entry.rssi = report.rssi;
    // Claimed here, so of two frames handled at once only one raises a channel's alarm.
    for (int i = 0; i < report.channel_count && i < shared::kMaxChannels; ++i) {
      if (entry.channel_alarm[i] != 1) continue;
      plan.alarm[i] = true;
      entry.channel_alarm[i] = 2;
    }
    return plan;
  });
}

void send_reports(SensorFrame &frame, const ReportPlan &plan) {
  const shared::SensorReport &report = frame.report;
  if (plan.add_to_list) shared::device_list_add(frame.short_address, frame.ext_address);
  if (plan.first_report_set) {
    cloud::report_joined(&report);
    cloud::report_channel_list(&report);
    cloud::report_device_info(&report);
    cloud::report_settings(&report);
  }
  if (plan.device_info) cloud::report_device_info(&report);
  cloud::report_live_data(&report);
  for (int i = 0; i < shared::kMaxChannels; ++i) {
    if (!plan.alarm[i]) continue;
    const ChannelError &error = channel_error(report.error_codes[i]);
    cloud::report_channel_event(&report, i, 1, error.alarm_name, 0, error.message);
  }
}

}  // namespace

const char *read_sensor_data(const std::uint8_t *app, std::size_t app_size, std::size_t total_length,
                             ChannelLayout layout, SensorDataFields &fields) {
  FrameReader reader(app, app_size, 10);
  const std::uint16_t ctl = fields.frame_ctl = reader.u16();
  for (const SkippedBlock &block : kSkippedBlocks)
    if (ctl & block.bit) reader.skip(block.size);

  if (ctl & kSensorBlock) {
    fields.has_sensor_block = true;
    fields.extension_status = reader.u16();
    fields.battery_raw = reader.u16();
    fields.low_power = reader.u8();
    fields.channel_count = reader.u8();
    if (!reader.ok()) return "frame shorter than its sensor block";
    if (fields.channel_count > shared::kMaxChannels) return "more than 10 channels";
    fields.blocks = layout == ChannelLayout::kCurrent ? fields.channel_count : 4;
    if (!reader.fits(fields.blocks * kChannelBlockSize)) return "frame shorter than its channel blocks";
    for (int i = 0; i < fields.blocks; ++i) {
      SensorDataChannel &channel = fields.channels[i];
      std::memcpy(channel.unit, reader.take(4), 4);
      channel.type = reader.u8();
      channel.word_a = reader.u16();
      channel.word_b = reader.u16();
    }
    if (ctl == kShortTimedFrame || ctl == kLongTimedFrame) {
      fields.has_time_stamp = true;
      fields.time_stamp = reader.u32();
    }
  }
  if (ctl & kOpValuesBlock) {
    fields.has_op_values = true;
    fields.op_temperature = reader.s8();
    fields.op_voltage = reader.s8();
  }
  if (!reader.ok()) return "frame shorter than the blocks its FrameCtl announces";
  // Only long frames of the two timed kinds carry the ReportType byte. A frame long enough for
  // the rule whose blocks end at its last byte has none: it is live data.
  const bool report_type_follows = (ctl == kShortTimedFrame && total_length > kShortTimedReportTypeAbove) ||
                                   (ctl == kLongTimedFrame && total_length > kLongTimedReportTypeAbove);
  if (report_type_follows && reader.fits(1)) fields.report_type = reader.u8();
  return nullptr;
}

void decode_sensor_data(const SensorDataFields &fields, ChannelLayout layout, std::uint16_t short_address,
                        const char *ext_address_text, std::int64_t now, shared::SensorReport &report,
                        shared::DeviceListEntry &entry) {
  if (fields.has_sensor_block) {
    report.power_source = (fields.extension_status & kPowerSourceBit) ? 1 : 0;
    report.battery = report.power_source ? static_cast<float>(fields.battery_raw) / 10.0f : 0.0f;
    core::log_line("Sensor 0x%04X-%s: \n\tRSSI %d, PowSrc: %d, Extension_Status: 0x%x, Bat: %.1f\n", short_address, ext_address_text, report.rssi,
                   report.power_source, fields.extension_status, report.battery);
    // A four-block frame holds no more than four channels, whatever its count says: the others
    // would be reported with values the frame never carried.
    report.channel_count = fields.channel_count;
    if (fields.channel_count > fields.blocks) {
      report.channel_count = static_cast<std::uint8_t>(fields.blocks);
      std::printf("\t%d channels announced, the frame carries %d: only those are kept\n", fields.channel_count,
                  fields.blocks);
    }
    decode_channels(fields, layout, report, entry);

    std::int64_t base_time = now;
    if (fields.has_time_stamp) {
      base_time = static_cast<std::int64_t>(fields.time_stamp) + kSensorEpoch;
      if (clock_needs_setting(now, base_time, entry.last_time_sync)) entry.time_sync_pending = 1;
    }
    report.base_time = static_cast<std::int32_t>(static_cast<std::uint32_t>(base_time));
    std::printf("\tTimeStamp: %ld\n", static_cast<long>(report.base_time));
  }
  if (fields.has_op_values) {
    report.op_temperature = fields.op_temperature;
    report.op_voltage = static_cast<float>(fields.op_voltage) / 10.0f;
    entry.op_temp = report.op_temperature;
    entry.op_voltage = report.op_voltage;
    std::printf("\top temp: %d, op vol: %.1f\n", report.op_temperature, report.op_voltage);
  }
  report.ReportType = fields.report_type;
  std::printf("\tReportType: %s\n", report.ReportType != 0 ? "Log" : "Data");

  if (entry.report_state == 0) {
    keep_channels(report, entry);
  } else if (entry.power_source != report.power_source || entry.channel_count != report.channel_count ||
             std::memcmp(entry.channel_types, report.channel_types, sizeof entry.channel_types) != 0) {
    keep_channels(report, entry);
    entry.report_state = 2;
  }
}

void handle_sensor_data(SensorFrame &frame) {
  const ChannelLayout layout =
      with_entry(frame, [](const shared::DeviceListEntry &entry) { return channel_layout(entry.ModelVersion); });
  SensorDataFields fields;
  if (const char *why = read_sensor_data(frame.app, frame.app_size, frame.total_length, layout, fields))
    return refuse_frame(frame, why);
  if (fields.has_sensor_block && removal_requested(frame)) return;

  const std::int64_t now = unix_now();
  // A synchronisation owed since an earlier frame was asked for with a configuration request; a
  // sensor that answers it has had its clock set by now. One that does not (the later firmware
  // never sends ConfigRsp) gets it with this frame, so it is not asked again with every frame.
  bool owed_earlier = false;
  with_entry(frame, [&](shared::DeviceListEntry &entry) {
    owed_earlier = entry.time_sync_pending != 0;
    decode_sensor_data(fields, layout, frame.short_address, frame.ext_text, now, frame.report, entry);
  });

  const bool reporting = cloud::cloud_agent_ready() == 0 && in_device_list(frame) && frame.ext_text[0] != '\0' &&
                         core::ext_address_is_set(frame.ext_address);
  if (reporting) send_reports(frame, plan_reports(frame, fields, now));

  const int interval_sent =
      reconcile_event_interval(frame.short_address, frame.ext_text, reporting ? frame.report.event_interval : 0);
  // A sensor outside the list has no entry to remember when it was last asked: it would be asked
  // for its configuration with every frame.
  if (!in_device_list(frame)) return;
  if (owed_earlier) sync_owed_clock(frame, now);
  const shared::DeviceListEntry entry = with_entry(frame, [](const shared::DeviceListEntry &e) { return e; });
  config_request_rule(frame.short_address, entry, interval_sent);
}

}  // namespace vorn::data
