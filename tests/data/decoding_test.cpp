// How channel words, time stamps and frame layouts decode, without any router state.
#include <gtest/gtest.h>

#include <cstring>

#include "data/channel_values.h"
#include "data/sensor_data_frame.h"
#include "data/sensor_texts.h"
#include "sensor_frames.h"

namespace vorn::data {
namespace {

using test::Frame;

float from_bits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

TEST(ChannelWords, DecodeByLayoutTypeAndMarkers) {
  enum Kind { kCurrent, kIeee, kFixedFour, kRecord };
  struct Case {
    Kind kind;
    int type, first, second;  // hi, lo (records: word A, word B)
    float value;
    int error;  // -1: a value
  } cases[] = {
      {kCurrent, 1, 0x0015, 0x1388, 21.5f, -1},
      {kIeee, 1, 0x1388, 0x0015, from_bits(0x13880015), -1},  // bit 14: A is the low word
      {kCurrent, 1, 0xFFFF, 0x0001, 0, 1},
      {kCurrent, 1, 0x7F80, 0x0003, 0, 3},
      {kCurrent, 1, 0xC0C0, 0x0000, from_bits(0xC0C00000), -1},  // negative: a bit pattern
      {kCurrent, 4, 0x8000, 0x0001, static_cast<float>(32768.0001), -1},            // counters are never negative
      {kFixedFour, 1, 0xFFFF, 0xEC78, -1.5f, -1},
      {kFixedFour, 4, 0xFFFF, 0xEC78, static_cast<float>(65541.0536), -1},
      {kFixedFour, 1, 0xFFFF, 0x0000, -1.0f, -1},
      {kFixedFour, 1, 0x7F80, 0x0002, 0, 2},
      {kRecord, 0, 0x0000, 0x41A8, 21.0f, -1},
      {kRecord, 0, 0x0001, 0xFF00, 0, 1},
      {kRecord, 0, 0x0009, 0x7F80, 0, 9},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.kind << " " << std::hex << c.first << " " << c.second);
    const auto hi = static_cast<std::uint16_t>(c.first), lo = static_cast<std::uint16_t>(c.second);
    const auto type = static_cast<std::uint8_t>(c.type);
    ChannelReading r = c.kind == kCurrent    ? decode_current(type, hi, lo, false)
                       : c.kind == kIeee     ? decode_current(type, hi, lo, true)
                       : c.kind == kFixedFour ? decode_fixed_four(type, hi, lo)
                                              : decode_record_value(hi, lo);
    EXPECT_EQ(r.in_error, c.error >= 0);
    if (c.error >= 0) {
      EXPECT_EQ(r.error_code, c.error);
      EXPECT_GE(r.value, 2139095040.0f);
    } else {
      EXPECT_EQ(0, std::memcmp(&r.value, &c.value, 4)) << r.value << " != " << c.value;
    }
  }
  EXPECT_STREQ(channel_error(1).console_name, "OPEN");
  EXPECT_STREQ(channel_error(3).alarm_name, "OUT_OF_RANGE");
  EXPECT_STREQ(channel_error(0).console_name, "NAN_VALUE");
  EXPECT_STREQ(channel_error(77).console_name, "INVALID");
  EXPECT_EQ(error_value(0), 2139095040.0f);
  EXPECT_GE(error_value(0xFFFF), 2139095040.0f);
}

TEST(SensorTexts, VersionsDatesLayoutsAndShellQuoting) {
  char date[11];
  packed_date_text(0x2C21, date, sizeof date);
  EXPECT_STREQ(date, "2022/00/01");
  const std::uint8_t version[4] = {1, 1, 0, 2};
  char text[16];
  version_text(version, text);
  EXPECT_STREQ(text, "1.1.0.2");
  EXPECT_EQ(version_number(version), 0x01010002u);
  for (auto [stored, layout] : {std::pair{"", ChannelLayout::kUnversioned}, {"1.1.0.2", ChannelLayout::kFixedFour},
                                {"1.1.0.20", ChannelLayout::kCurrent}, {"2.0.0.1", ChannelLayout::kCurrent}}) {
    char field[16] = {};
    std::strncpy(field, stored, sizeof field - 1);
    EXPECT_EQ(channel_layout(field), layout) << stored;
  }
  for (auto [in, out] : {std::pair{"Acme Inc.", "Acme Inc."}, {"a\"b$c`d\\e", "a\\\"b\\$c\\`d\\\\e"},
                         {"it's;|&<>", "it's;|&<>"}, {"x\ny\x1b\x7f\xc3\xa9z", "xyz"}}) {
    char quoted[64];
    quote_for_shell(in, quoted, sizeof quoted);
    EXPECT_STREQ(quoted, out);
  }
}

// FrameCtl 0x0078: every optional block but the first three, a time stamp and operating values.
Frame timed_frame(int ctl, std::uint32_t time_stamp) {
  Frame f = test::sensor_data(ctl, 0x0001, 36, 4,
                              {{"DEGC", 1, 0x0015, 0x1388}, {"PCT ", 2, 0xFFFF, 0x0001}, {"V   ", 1, 1, 0}, {"A   ", 1, 2, 0}});
  return f.u32(time_stamp).u8(-5).u8(33);
}

struct Decoded {
  SensorDataFields fields;
  shared::SensorReport report{};
  shared::DeviceListEntry entry{};
  std::string out;
  const char *refusal = nullptr;
};

Decoded decode(const Frame &f, ChannelLayout layout, std::size_t total, std::int64_t now = 1700000000,
               std::uint32_t last_sync = 1700000000) {
  Decoded d;
  d.entry.last_time_sync = last_sync;
  d.refusal = read_sensor_data(f.bytes.data(), f.bytes.size(), total, layout, d.fields);
  if (d.refusal == nullptr)
    d.out = test::capture_stdout([&] { decode_sensor_data(d.fields, layout, 3, "00124B0001A2B3C4", now, d.report, d.entry); });
  return d;
}

TEST(SensorDataFrame, DecodesChannelsTimeStampOperatingValuesAndReportType) {
  const std::uint32_t sensor_now = 1700000000 - 946684800;
  Frame f = timed_frame(0x0078, sensor_now);
  const std::size_t blocks_end = f.bytes.size();  // 12 + 48 + 8 + 6 + 36 + 4 + 2
  f.u8(1).pad_to(132 - 7);
  Decoded d = decode(f, ChannelLayout::kCurrent, 132);
  ASSERT_EQ(d.refusal, nullptr);
  EXPECT_EQ(d.report.ReportType, 0) << "132 bytes: no ReportType";
  EXPECT_FLOAT_EQ(d.report.values[0], 21.5f);
  EXPECT_EQ(d.report.error_codes[1], 1);
  EXPECT_EQ(d.entry.channel_alarm[1], 1);
  EXPECT_EQ(d.report.power_source, 1);
  EXPECT_FLOAT_EQ(d.report.battery, 3.6f);
  EXPECT_EQ(d.report.op_temperature, -5);
  EXPECT_FLOAT_EQ(d.entry.op_voltage, 3.3f);
  EXPECT_EQ(d.report.base_time, 1700000000);
  EXPECT_STREQ(d.report.channel_units[0], "DEGC");
  EXPECT_EQ(d.entry.time_sync_pending, 0);
  EXPECT_NE(d.out.find("\t[0] 0x01 0x0015 1388 21.50 DEGC\n"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("\t[1] 0xFFFF0001 OPEN PCT \n"), std::string::npos);
  EXPECT_NE(d.out.find("\tReportType: Data\n"), std::string::npos);

  f.pad_to(133 - 7);
  EXPECT_EQ(decode(f, ChannelLayout::kCurrent, 133).report.ReportType, 1) << "133 bytes: byte after the blocks";
  EXPECT_EQ(f.bytes[blocks_end], 1);
  Frame bare = timed_frame(0x0078, sensor_now);
  EXPECT_EQ(decode(bare, ChannelLayout::kCurrent, 140).report.ReportType, 0) << "announced but not received";
}

TEST(SensorDataFrame, ClockDriftAndStaleSynchronisationOweATimeSync) {
  const std::int64_t now = 1700000000;
  struct Case {
    int drift;
    std::uint32_t last_sync;
    int pending;
  } cases[] = {{59, now, 0}, {-59, now, 0}, {61, now, 1}, {-61, now, 1}, {0, now - 86400, 1}, {0, now - 86399, 0}};
  for (const Case &c : cases) {
    Frame f = timed_frame(0x0060, static_cast<std::uint32_t>(now - 946684800 + c.drift));
    Decoded d = decode(f, ChannelLayout::kCurrent, f.bytes.size() + 7, now, c.last_sync);
    EXPECT_EQ(d.entry.time_sync_pending, c.pending) << c.drift << " " << now - c.last_sync;
  }
}

TEST(SensorDataFrame, UnversionedFrameKeepsRawWordsUntilTheVersionIsKnown) {
  Frame f = test::sensor_data(0x0020, 0, 0, 2, {{"DEGC", 1, 0x0015, 0x1388}, {"PCT ", 2, 0x7F80, 0x0001}, {}, {}});
  Decoded d = decode(f, ChannelLayout::kUnversioned, f.bytes.size() + 7);
  ASSERT_EQ(d.refusal, nullptr);
  EXPECT_EQ(d.entry.value_high[0], 0x0015);
  EXPECT_EQ(d.entry.value_low[1], 0x0001);
  EXPECT_EQ(d.report.values[0], 0.0f);
  EXPECT_EQ(d.entry.channel_alarm[1], 0);
  EXPECT_EQ(d.out.find("\t[0]"), std::string::npos) << "no channel lines before the version is known";
  EXPECT_EQ(d.entry.channel_count, 2);

  std::strcpy(d.entry.ModelVersion, "2.0.0.1");
  shared::SensorReport later{};
  later.channel_count = 2;
  std::memcpy(later.channel_types, d.entry.channel_types, 10);
  std::string out = test::capture_stdout([&] { decode_stored_values(later, d.entry); });
  EXPECT_FLOAT_EQ(later.values[0], 21.5f);
  EXPECT_EQ(later.error_codes[1], 1);
  EXPECT_EQ(d.entry.channel_alarm[1], 1);
  EXPECT_EQ(out, "\t[1] 0x02 0x7F800001 OPEN \n");
}

TEST(SensorDataFrame, AlarmFlagRaisedOnceAndClearedByAGoodValue) {
  shared::DeviceListEntry entry{};
  shared::SensorReport report{};
  const ChannelReading error = decode_current(1, 0xFFFF, 1, false), good = decode_current(1, 1, 0, false);
  for (auto [before, reading, after] : {std::tuple{0, error, 1}, {1, error, 1}, {2, error, 2}, {2, good, 0},
                                        {1, good, 0}}) {
    entry.channel_alarm[3] = static_cast<std::uint8_t>(before);
    keep_channel_reading(3, reading, report, entry);
    EXPECT_EQ(entry.channel_alarm[3], after) << before;
  }
}

TEST(SensorDataFrame, EveryFrameShortOfItsBlocksOrOverTenChannelsIsRefused) {
  struct Case {
    Frame frame;
    ChannelLayout layout;
  } cases[] = {
      {timed_frame(0x0078, 1000), ChannelLayout::kCurrent},
      {timed_frame(0x0060, 1000), ChannelLayout::kFixedFour},
      {test::sensor_data(0x0027, 0, 0, 1, {{"DEGC", 1, 1, 2}}), ChannelLayout::kCurrent},
      {test::sensor_data(0x0020, 0, 0, 1, {{"DEGC", 1, 1, 2}, {}, {}, {}}), ChannelLayout::kUnversioned},
  };
  for (const Case &c : cases) {
    SensorDataFields fields;
    ASSERT_EQ(read_sensor_data(c.frame.bytes.data(), c.frame.bytes.size(), 0, c.layout, fields), nullptr);
    for (std::size_t size = 0; size < c.frame.bytes.size(); ++size) {
      test::Bytes cut(c.frame.bytes.begin(), c.frame.bytes.begin() + static_cast<long>(size));
      SensorDataFields partial;
      EXPECT_NE(read_sensor_data(cut.data(), cut.size(), size + 7, c.layout, partial), nullptr) << size;
    }
  }
  Frame eleven = test::sensor_data(0x0020, 0, 0, 11, {});
  eleven.pad_to(200);
  SensorDataFields fields;
  EXPECT_STREQ(read_sensor_data(eleven.bytes.data(), eleven.bytes.size(), 207, ChannelLayout::kCurrent, fields),
               "more than 10 channels");
}

}  // namespace
}  // namespace vorn::data
