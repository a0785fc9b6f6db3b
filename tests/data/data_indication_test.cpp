// Sensor frames as the collector relays them, handled against the router's uci tool, shared
// segments, platform stores and a socket standing in for the link: what each frame changes and
// what it sends back. Report contents are left to the report tests.
#include <gateway_lib/alarm_flags.h>
#include <gateway_lib/middleware.h>
#include <gateway_lib/sensor_registry.h>
#include <gateway_lib/shm_channel.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "../devices/device_fixture.h"
#include "core/byte_order.h"
#include "data/channel_metadata.h"
#include "data/data_indication.h"
#include "sensor_frames.h"

namespace vorn::data {
namespace {

using namespace vorn::test;

// The link's bytes cut into frames by their header lengths.
std::vector<Bytes> frames_of(const Bytes &sent) {
  std::vector<Bytes> out;
  for (std::size_t at = 0; at + 4 <= sent.size();) {
    const std::size_t size = 4 + (sent[at] | (sent[at + 1] << 8));
    out.emplace_back(sent.begin() + static_cast<long>(at), sent.begin() + static_cast<long>(std::min(at + size, sent.size())));
    at += size;
  }
  return out;
}

// What a sensor's frames last delivered to its live channel (taken away, so the next read is fresh).
std::string live_channel() {
  std::int32_t size = 0;
  void *content = share_memory_read_then_clean_noneblock(kSensorId, &size, 10);
  std::string text = content != nullptr ? std::string(static_cast<const char *>(content), static_cast<std::size_t>(size)) : "";
  std::free(content);
  return text;
}

std::size_t occurrences(const std::string &text, const std::string &needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// The API ids of frames sent, in hexadecimal: "0D", "21 1A".
std::string kinds(const std::vector<Bytes> &frames) {
  std::string out;
  char id[4];
  for (const Bytes &f : frames) {
    std::snprintf(id, sizeof id, "%02X", f.size() > 3 ? f[3] : 0);
    out += (out.empty() ? "" : " ") + std::string(id);
  }
  return out;
}

std::uint32_t now() { return static_cast<std::uint32_t>(std::time(nullptr)); }
std::uint32_t sensor_now() { return now() - 946684800u; }

Bytes with_tag_rssi(std::initializer_list<int> before, std::initializer_list<int> after) {
  Bytes out = bytes(before);
  out.insert(out.end(), kTag, kTag + 8);
  Bytes tail = bytes(after);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

const shared::ChannelMeta kTemperature{"Temperature", 1, "DEGC"};

class DataIndication : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    std::system("rm -f /etc/config/gateway_platform.sqlite /etc/config/cloud.sqlite /dev/shm/00124B0001A2B3C4*;"
                "uci set gateway.main.cloud_ready=1; uci commit gateway");
    add_section(kSensorText, "ShortAddress=0003 ModelName=QX-9 ModelVersion=9.0.0.0");
    known_sensor();
  }
  // Sensor 3 as the daemon knows it after its identification.
  void set_option(const std::string &assignment) {
    std::system(("uci set sensorlist.@" + std::string(kSensorText) + "[]." + assignment + "; uci commit sensorlist").c_str());
  }
  void known_sensor() {
    shared::DeviceListEntry &e = entry(3);
    std::memset(&e, 0, sizeof e);
    e.ShortAddress = 3;
    std::memcpy(e.ExtAddress, kSensorExt, 8);
    std::strcpy(e.ModelVersion, "2.0.0.1");
    e.report_state = 1;
    e.EventInterval = 600;
    e.last_config_request = e.last_time_sync = e.last_info_report = now();
  }
  std::string handle(const Bytes &app, std::uint16_t short_address = 3) {
    return handle_link_frame(indication(short_address, app));
  }
  std::string handle_link_frame(const Bytes &frame) {
    return capture_stdout([&] { handle_data_indication(frame.data(), frame.size()); });
  }
  shared::DeviceListEntry snapshot() { return entry(3); }
  bool unchanged(const shared::DeviceListEntry &before) { return std::memcmp(&before, &entry(3), sizeof before) == 0; }
  std::string option(const char *name) { return uci_get(std::string("sensorlist.@") + kSensorText + "[]." + name); }
};

TEST_F(DataIndication, EnvelopeAndHeadRejectionsChangeNothing) {
  const Bytes app = sensor_data(0x0020, 0, 0, 0, {}).bytes;
  Bytes ext_mode = bytes({3});
  ext_mode.insert(ext_mode.end(), kSensorExt, kSensorExt + 8);
  ext_mode.insert(ext_mode.end(), app.begin(), app.end());
  Bytes zero_short = indication(0, app);
  Bytes bad_mode = indication(3, app);
  bad_mode[4] = 5;
  const struct {
    Bytes frame;
    std::string output;
  } cases[] = {
      {inbound(9, ext_mode), "Wrong Short Address, Reject!\n"},
      {zero_short, "Wrong Short Address, Reject!\n"},
      {bad_mode, "Unknow Addr Mode, Reject!\n"},
      {indication(3, bytes({-40, 8, 1, 2})), "Unknow Cmd ID, Reject!\n07 00 4A 09 02 03 00 D8  08 01 02 "},
      {indication(3, bytes({-40, 4, 1, 2})), "07 00 4A 09 02 03 00 D8  04 01 02 "},
      {indication(3, head(0x2A, 0).bytes), "Disassociation Response of 0003 - Wrong FrameCtl (0x0000)\n"},
      {indication(3, head(0x20, 0).bytes), "Data Frame Request of 0003 - Wrong FrameCtl (0x0000)\n"},
      // Outside the DeviceList: decoded, but no entry kept and nothing asked of the sensor.
      {indication(0x65, sensor_data(0x0020, 0, 0, 1, {{"DEGC", 1, 0x15, 0x1388}, {}, {}, {}}).bytes),
       "Sensor 0x0065-00124B0001A2B3C4"},
  };
  const shared::DeviceListEntry before = snapshot();
  for (const auto &c : cases) {
    std::string out = handle_link_frame(c.frame);
    EXPECT_NE(out.find(c.output), std::string::npos) << out;
    EXPECT_EQ(out.find("Unknow Cmd"), c.output.find("Unknow Cmd") == 0 ? 0 : std::string::npos) << out;
  }
  EXPECT_TRUE(link.sent(50).empty());
  EXPECT_TRUE(unchanged(before));
  EXPECT_EQ(sections_of(kSensorText), 1);
}

TEST_F(DataIndication, FramesShortOfTheirFieldsOrOverTheirLimitsAreDroppedWithOneLine) {
  Frame string_value = head(0x1B, 8);  // flag word 8: a string value
  string_value.bytes.resize(2);
  string_value.u16(8).u16(5).text("hello", 5);
  const Frame full[] = {
      sensor_data(0x0078, 1, 36, 1, {{"DEGC", 1, 1, 2}}).u32(sensor_now()).u8(1).u8(33),
      identification_request("Acme", "Probe", 60, {{"Temperature", 1, "DEGC"}, {"Humidity", 2, "PCT "}}),
      data_frame_request(0, 2, 2, 0, 0x41A8, sensor_now()),
      config_response(6, 60),
      string_value,
      Frame{}.u8(-40).u8(0x17).u16(3).u32(7).u16(21).u16(5000),
      Frame{}.u8(-40).u8(0x19).u16(0),
      head(0x2B, 1).raw(kTag, 8).u8(1).u8(1),
      head(0x2A, 1),
  };
  const std::string sensorlist = file_text("/etc/config/sensorlist");
  const shared::DeviceListEntry before = snapshot();
  for (const Frame &frame : full) {
    for (std::size_t size = 0; size < frame.bytes.size(); ++size) {
      Bytes link_frame = indication(3, Bytes(frame.bytes.begin(), frame.bytes.begin() + static_cast<long>(size)));
      std::string out = handle_link_frame(link_frame);
      SCOPED_TRACE(testing::Message() << "command " << int(frame.bytes[1]) << " cut to " << size << ": " << out);
      if (frame.bytes[1] == 2 && size >= 2 && size + 7 <= 30) {
        EXPECT_EQ(out, "");
      } else {
        EXPECT_TRUE(out.find("0003 - ") != std::string::npos && out.find('\n') == out.size() - 1 &&
                    out.ends_with(" bytes), dropped\n"));
      }
    }
  }
  Frame eleven_channels = sensor_data(0x0020, 0, 0, 11, {});
  eleven_channels.pad_to(200);
  Frame eleven_meta = identification_request("Acme", "Probe", 60, {});
  eleven_meta.bytes[164] = 11;
  eleven_meta.pad_to(400);
  Frame eleven_records = data_frame_request(0, 1, 0, 0, 0, 0);
  eleven_records.bytes[31] = 11;
  eleven_records.pad_to(100);
  Frame long_string = head(0x1B, 8);
  long_string.bytes.resize(2);
  long_string.u16(8).u16(129).pad_to(300);
  for (const Frame &frame : {eleven_channels, eleven_meta, eleven_records, long_string}) {
    std::string out = handle(frame.bytes);
    EXPECT_TRUE(out.find("more than 10 channels") != std::string::npos ||
                out.find("string value longer than 128 bytes") != std::string::npos)
        << out;
  }
  EXPECT_TRUE(link.sent(50).empty());
  EXPECT_TRUE(unchanged(before));
  EXPECT_EQ(file_text("/etc/config/sensorlist"), sensorlist);
}

TEST_F(DataIndication, IdentificationRequestIsAnsweredThenTheClockSetAndTheIdentityKept) {
  std::memset(&entry(3), 0, sizeof(shared::DeviceListEntry));
  set_option("EventInterval=120");
  const char *manufacturer = "Acme \"$HOME` \\n";
  channel_entry old_channel{"Old", 1, "DEGC"};
  set_error_flag(kSensorId, &old_channel, 1);
  middleware_add_channel("/etc/config/cloud.sqlite", kSensorId, "Old", "", "");
  const std::uint32_t before = now();
  handle(identification_request(manufacturer, "\x01\x02", 60, {{"Temperature", 1, "DEGC"}, {"Humidity", 2, "PCT "}})
             .bytes);

  std::vector<Bytes> sent = frames_of(link.sent());
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], with_tag_rssi({0x17, 0x00, 0x0A, 0x23, 0x13, 0x00, 0x03, 0x00, 0x23},
                                   {0xD8, 0xFF, 0x00, 0x00, 0x78, 0x00, 0x7B, 0x00, 0x00, 0x00}))
      << "Identification Response: tag, RSSI, the interval on record";
  ASSERT_EQ(sent[1].size(), 16u);
  EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 12), bytes({0x0C, 0x00, 0x0A, 0x1A, 0x0A, 0x00, 0x03, 0x00, 0x03, 0x00, 0x04, 0x00}));
  const std::uint32_t clock = core::read_le32(sent[1].data() + 12);
  EXPECT_TRUE(clock >= before - 946684800u && clock <= now() - 946684800u) << "SyncTime: sensor time now";

  const shared::DeviceListEntry &e = entry(3);
  EXPECT_EQ(0, std::memcmp(e.ExtAddress, kSensorExt, 8));
  EXPECT_STREQ(e.ManuFacturer, manufacturer);
  EXPECT_STREQ(e.DeviceName, "Device_33445566");
  EXPECT_STREQ(e.ManufacturerDate, "2022/00/01");
  EXPECT_STREQ(e.ModelVersion, "2.0.0.1");
  EXPECT_STREQ(e.SensorVersion, "1.2.3.4");
  EXPECT_EQ(e.EventInterval, 60);
  EXPECT_EQ(e.channel_count, 2);
  EXPECT_EQ(e.report_state, 1);
  EXPECT_EQ(e.power_source, 1);
  EXPECT_FLOAT_EQ(e.battery, 3.6f);
  EXPECT_EQ(e.identity_word_1, 0xA1A2A3A4u);
  EXPECT_EQ(e.trailer_word_2, 0x05060708u);
  EXPECT_GE(e.last_time_sync, before);
  EXPECT_EQ(option("ManuFacturer"), manufacturer) << "stored as received, nothing run by the shell";
  EXPECT_EQ(option("ModelName"), "MN-100");
  EXPECT_EQ(option("DeviceName"), "Device_33445566");
  EXPECT_EQ(option("EventInterval"), "60");

  std::int32_t size = 0;
  void *published = share_memory_read_noneblock("00124B0001A2B3C4_meta", &size, 10);
  ASSERT_EQ(size, 46);
  EXPECT_EQ(0, std::memcmp(published, &kTemperature, sizeof kTemperature));
  std::free(published);
  EXPECT_EQ(get_error_flag(kSensorId, &old_channel), 0) << "the cloud's channel list changed: flags forgotten";
}

// A sensor sends data as soon as it is answered, and its data frames are read by the layout its
// firmware version selects: the version must be in its entry by the time the answer leaves.
TEST_F(DataIndication, IdentificationIsAnsweredOnlyOnceTheFirmwareVersionIsKept) {
  std::memset(&entry(3), 0, sizeof(shared::DeviceListEntry));
  std::thread handler([&] { handle(identification_request("Acme", "\x01\x02", 60, {{"Temperature", 1, "DEGC"}}).bytes); });
  const Bytes answer = link.sent(5000, 0);
  const std::string version_at_answer = entry(3).ModelVersion;
  handler.join();
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(version_at_answer, "2.0.0.1");
}

// The sensor identifies itself while its join's handler still waits for the database file, so its
// section is not there yet: what it says of itself must not be lost.
TEST_F(DataIndication, IdentificationBeforeTheJoinIsRecordedKeepsTheIdentityInOneSection) {
  std::system(("uci -q delete sensorlist.@" + std::string(kSensorText) + "[]; uci commit sensorlist").c_str());
  handle(identification_request("Acme", "\x01\x02", 60, {{"Temperature", 1, "DEGC"}}).bytes);
  EXPECT_EQ(sections_of(kSensorText), 1);
  EXPECT_EQ(option("ShortAddress"), "0003");
  EXPECT_EQ(option("ModelName"), "MN-100");
  EXPECT_EQ(option("SensorVersion"), "1.2.3.4");

  // Its data frames carry the channels it described: not a change that would report it anew
  // (with the cloud away, a change would stay marked).
  std::system("uci set gateway.main.cloud_ready=0; uci commit gateway");
  handle(sensor_data(0x0020, 0x0001, 36, 1, {{"DEGC", 1, 0x0015, 0x1388}}).bytes);
  EXPECT_EQ(entry(3).report_state, 1);
}

TEST_F(DataIndication, SensorDataKeepsChannelsAndRaisesEachAlarmOnce) {
  const struct {
    int count, word_a, word_b;
    bool cloud_ready;
    int alarm, state;
  } steps[] = {
      {2, 0xFFFF, 0x0001, true, 2, 1},   // new channels: first report set, the error alarmed
      {2, 0xFFFF, 0x0001, true, 2, 1},   // the same error: no second alarm
      {2, 0x0015, 0x1388, true, 0, 1},   // a good value clears it
      {2, 0x7F80, 0x0002, true, 2, 1},   // a new error
      {3, 0x0015, 0x1388, false, 0, 2},  // one more channel, cloud away: kept, not reported
      {3, 0xFFFF, 0x0003, false, 1, 2},  // an error waits for the cloud
      {3, 0xFFFF, 0x0003, true, 2, 1},
  };
  for (const auto &s : steps) {
    std::system(s.cloud_ready ? "uci set gateway.main.cloud_ready=1; uci commit gateway"
                              : "uci set gateway.main.cloud_ready=0; uci commit gateway");
    handle(sensor_data(0x0020, 0x0001, 36, s.count, {{"DEGC", 1, s.word_a, s.word_b}, {"PCT ", 2, 1, 0}, {"V   ", 1, 1, 0}})
               .bytes);
    EXPECT_EQ(entry(3).channel_alarm[0], s.alarm) << &s - steps;
    EXPECT_EQ(entry(3).report_state, s.state) << &s - steps;
    EXPECT_EQ(entry(3).channel_count, s.count);
  }
  EXPECT_EQ(entry(3).channel_types[1], 2);
  EXPECT_STREQ(entry(3).channel_units[2], "V   ");
  EXPECT_FLOAT_EQ(entry(3).battery, 3.6f);
  EXPECT_EQ(entry(3).rssi, kRssi);
  EXPECT_TRUE(frames_of(link.sent(50)).empty()) << "a slow sensor with nothing owed is not asked for anything";
}

TEST_F(DataIndication, UpkeepRequestsFollowTheSensorsFrames) {
  const Bytes interval_300 = bytes({0x0C, 0x00, 0x0A, 0x1A, 0x0A, 0x00, 0x03, 0x00, 0x03, 0x00, 0x01, 0x00, 0x2C, 0x01, 0x00, 0x00});
  const Bytes config = bytes({0x09, 0x00, 0x0A, 0x0D, 0x01, 0x03, 0x00, 0x60, 0xEA, 0x00, 0x00, 0x38, 0x00});
  const struct {
    int wanted, interval, config_age;
    std::vector<Bytes> expected;
  } cases[] = {
      {0, 60, 0, {}},
      {300, 60, 0, {interval_300, config}},  // the wish differs: asked, then asked for the configuration
      {300, 0, 0, {}},                       // no interval known yet
      {300, 300, 0, {}},
      {0, 60, 3590, {}},
      {0, 60, 3600, {config}},  // a fast sensor is asked hourly
      {0, 120, 99999, {}},
  };
  for (const auto &c : cases) {
    set_option("EventIntervalUserWanted=" + std::to_string(c.wanted));
    known_sensor();
    entry(3).EventInterval = c.interval;
    entry(3).last_config_request = now() - static_cast<std::uint32_t>(c.config_age);
    handle(sensor_data(0x0020, 0, 0, 1, {{"DEGC", 1, 1, 0}}).bytes);
    EXPECT_EQ(frames_of(link.sent(c.expected.empty() ? 50 : 200)), c.expected) << c.wanted << " " << c.interval << " "
                                                                               << c.config_age;
    if (!c.expected.empty()) {
      EXPECT_GE(entry(3).last_config_request, now() - 5);
    }
  }
}

TEST_F(DataIndication, SensorMarkedForRemovalOnlyGetsRemoved) {
  set_option("RemoveSensor=1");
  const Bytes removal = bytes({0x0A, 0x00, 0x0A, 0x26, 0x03, 0x00, 0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00});
  const shared::DeviceListEntry before = snapshot();
  for (const Frame &frame : {sensor_data(0x0020, 0, 0, 1, {{"DEGC", 1, 1, 0}}),
                             identification_request("Acme", "Probe", 60, {}), data_frame_request(0, 1, 1, 0, 0, sensor_now())}) {
    handle(frame.bytes);
    EXPECT_EQ(frames_of(link.sent()), std::vector<Bytes>{removal}) << "command " << int(frame.bytes[1]);
  }
  EXPECT_TRUE(unchanged(before));
}

TEST_F(DataIndication, DataFrameRequestAnsweredAlarmedThroughPlatformFlagsAndKept) {
  publish_channel_meta(kSensorId, &kTemperature, 1);
  channel_entry channel;
  std::memcpy(&channel, &kTemperature, sizeof channel);
  const Bytes response = with_tag_rssi({0x12, 0x00, 0x0A, 0x21, 0x0E, 0x00, 0x03, 0x00, 0x21}, {0x5A, 0xD8, 0xFF, 0x0A, 0x00});
  const struct {
    int no_alarm, word_a, word_b;
    int flag;
  } steps[] = {{0, 1, 0xFF00, 1}, {0, 1, 0xFF00, 1}, {0, 0, 0x41A8, 0}, {1, 2, 0x7F80, 0}, {0, 2, 0x7F80, 1}};
  for (const auto &s : steps) {
    handle(data_frame_request(s.no_alarm, 2, 1, s.word_a, s.word_b, sensor_now()).bytes);
    EXPECT_EQ(frames_of(link.sent()), std::vector<Bytes>{response}) << &s - steps;
    EXPECT_EQ(get_error_flag(kSensorId, &channel), s.flag) << &s - steps;
  }
  EXPECT_EQ(entry(3).status_32, 0x5A);
  EXPECT_EQ(entry(3).op_temp, 25);

  handle(data_frame_request(0, 1, 1, 0, 0x41A8, sensor_now() - 120).bytes);
  std::vector<Bytes> sent = frames_of(link.sent());
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1][3], 0x1A) << "records two minutes behind: SyncTime after the response";
}

TEST_F(DataIndication, DataFrameRequestOfAnUnknownSensorIsAnsweredAfterTheWait) {
  entry(3).report_state = 0;
  const auto start = std::chrono::steady_clock::now();
  handle(data_frame_request(0, 1, 1, 0, 0x41A8, sensor_now()).bytes);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(8500));
  EXPECT_LT(waited, std::chrono::seconds(60));
  std::vector<Bytes> sent = frames_of(link.sent());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][3], 0x21);
  EXPECT_EQ(entry(3).report_state, 0) << "not registered with the platform either";
  EXPECT_NE(live_channel().find("\"V\":21.00"), std::string::npos) << "the record it was told was taken is delivered";
}

// A sensor of either firmware style is owed a clock once and asked for its configuration once, is
// reported only the channels its frames carry, never an interval it cannot hold, and has every
// record it is told were taken delivered under a name.
TEST_F(DataIndication, UpkeepChannelsAndRecordNamesHoldForEitherFirmwareStyle) {
  const Bytes config = bytes({0x09, 0x00, 0x0A, 0x0D, 0x01, 0x03, 0x00, 0x60, 0xEA, 0x00, 0x00, 0x38, 0x00});
  const auto timed = [](std::int64_t drift) {
    return sensor_data(0x0060, 0, 0, 1, {{"DEGC", 1, 0x15, 0x1388}}).u32(static_cast<std::uint32_t>(sensor_now() + drift)).u8(25).u8(33);
  };
  // Clock: a sensor that never answers the configuration request (the later firmware) is asked for
  // it once, gets its clock with its next frame, and is left alone after; every path that sets the
  // clock clears the flag.
  const struct {
    const char *what;
    Frame frame;
    std::string sent;
    int pending;
  } clock_steps[] = {
      {"70 s off", timed(70), "0D", 1},
      {"then good", timed(0), "1A", 0},
      {"good again", timed(0), "", 0},
      {"off again", timed(-70), "0D", 1},
      {"identified again", identification_request("Acme", "Probe", 600, {{"Temperature", 1, "DEGC"}}), "23 1A", 0},
      {"good after it", timed(0), "", 0},
      {"off, then records 2 min behind", timed(70), "0D", 1},
      {"", data_frame_request(0, 1, 1, 0, 0x41A8, sensor_now() - 120), "21 1A", 0},
  };
  for (const auto &step : clock_steps) {
    const std::uint32_t before = now();
    handle(step.frame.bytes);
    const std::vector<Bytes> sent = frames_of(link.sent(step.sent.empty() ? 50 : 500));
    EXPECT_EQ(kinds(sent), step.sent) << step.what;
    if (step.sent == "0D") {
      EXPECT_EQ(sent[0], config) << step.what;
    }
    EXPECT_EQ(entry(3).time_sync_pending, step.pending) << step.what;
    if (step.sent.find("1A") != std::string::npos) {
      EXPECT_GE(entry(3).last_time_sync, before) << step.what;
    }
  }

  // Intervals: a wish above what the sensor's 16-bit field holds (stored before such wishes were
  // refused) is never sent, nor does it bring a configuration request with every frame.
  set_option("EventIntervalUserWanted=70000");
  known_sensor();
  entry(3).EventInterval = 60;
  for (int i = 0; i < 2; ++i) handle(timed(0).bytes);
  EXPECT_TRUE(link.sent(50).empty());
  set_option("EventIntervalUserWanted=0");

  // Channels: a four-block frame announcing six reports the four it carries, for a 1.1.0.2
  // sensor at once and for an unversioned one once its ConfigRsp makes its words readable.
  const std::initializer_list<ChannelBlock> four = {{"DEGC", 1, 21, 5000}, {"PCT ", 2, 40, 0}, {"DEGC", 1, 22, 0}, {"KPA ", 3, 99, 0}};
  for (const char *version : {"1.1.0.2", ""}) {
    SCOPED_TRACE(version);
    known_sensor();
    std::strcpy(entry(3).ModelVersion, version);
    if (version[0] == '\0') entry(3).report_state = 0;
    live_channel();
    const std::string out = handle(sensor_data(0x0020, 0, 0, 6, four).bytes);
    EXPECT_NE(out.find("6 channels announced, the frame carries 4"), std::string::npos) << out;
    EXPECT_EQ(entry(3).channel_count, 4);
    if (version[0] == '\0') handle(config_response(5, 600).bytes);
    const std::string live = live_channel();
    EXPECT_EQ(occurrences(live, "\"Name\""), 4u) << live;
    EXPECT_NE(live.find("\"Name\":\"Temperature2\""), std::string::npos) << live;
    EXPECT_EQ(live.find("Unknown"), std::string::npos) << live;
    link.sent(50);
  }

  // Records: answered, so delivered, named by what the sensor published and else by the names the
  // gateway has for its channels (its data frames' types), never dropped.
  const struct {
    std::vector<shared::ChannelMeta> published;
    int channels;
    std::vector<const char *> names;
  } record_cases[] = {
      {{}, 2, {"Temperature", "Humidity"}},                              // a ConfigRsp-style sensor
      {{}, 3, {"Temperature", "Humidity", "Unknown"}},                   // one more than it ever described
      {{kTemperature}, 2, {"Temperature", "Humidity"}},                  // a published list one short
      {{{"Outside", 1, "DEGC"}, {"Inside", 1, "DEGC"}}, 2, {"Outside", "Inside"}},
  };
  for (const auto &c : record_cases) {
    SCOPED_TRACE(c.names.back());
    known_sensor();
    entry(3).channel_count = 2;
    entry(3).channel_types[0] = 1;
    entry(3).channel_types[1] = 2;
    std::system("rm -f /dev/shm/00124B0001A2B3C4*");
    if (!c.published.empty()) publish_channel_meta(kSensorId, c.published.data(), static_cast<int>(c.published.size()));
    handle(data_frame_request(0, 2, c.channels, 0, 0x41A8, sensor_now()).bytes);
    EXPECT_EQ(kinds(frames_of(link.sent())), "21");
    const std::string delivered = live_channel();
    EXPECT_EQ(occurrences(delivered, "\"Name\""), c.names.size()) << delivered;
    for (const char *name : c.names) EXPECT_NE(delivered.find(std::string("\"Name\":\"") + name + "\""), std::string::npos) << delivered;
    EXPECT_EQ(occurrences(delivered, "\"V\":21.00"), 2 * c.names.size()) << delivered;
  }
}

TEST_F(DataIndication, StatusRequestValueResponsesAndDisassociation) {
  for (int keep_inactive : {1, 0}) {
    handle(head(0x2B, 1).raw(kTag, 8).u8(0x5A).u8(keep_inactive).bytes);
    EXPECT_EQ(frames_of(link.sent()),
              std::vector<Bytes>{with_tag_rssi({0x12, 0x00, 0x0A, 0x27, 0x0E, 0x00, 0x03, 0x00, 0x2C}, {0x5A, 0xD8, 0xFF, 0x00, 0x00})});
    if (keep_inactive) {
      EXPECT_EQ(get_sensor_active_time(kSensorId), 0) << "byte 21 = 1: active time untouched";
    } else {
      EXPECT_GE(get_sensor_active_time(kSensorId), static_cast<long>(now()) - 5);
    }
  }

  handle(Frame{}.u8(-40).u8(0x1B).u16(3).u16(1).u32(300).bytes);
  EXPECT_EQ(entry(3).EventInterval, 300);
  handle(Frame{}.u8(-40).u8(0x1B).u16(3).u16(2).u32(500).bytes);
  EXPECT_EQ(entry(3).EventInterval, 300) << "only command value 1 is the event interval";
  EXPECT_NE(handle(Frame{}.u8(-40).u8(0x17).u16(2).u16(21).u16(5000).bytes).find("Float Value: 21.500000\n"),
            std::string::npos);
  std::string full_string = handle(Frame{}.u8(-40).u8(0x17).u16(4).u16(128).text(std::string(128, 'x'), 128).bytes);
  EXPECT_NE(full_string.find("String Value: " + std::string(128, 'x') + "\n"), std::string::npos);

  handle(head(0x2A, 1).bytes);
  EXPECT_EQ(sections_of(kSensorText), 0);
  const shared::DeviceListEntry blank{};
  EXPECT_EQ(0, std::memcmp(&entry(3), &blank, sizeof blank));
}

TEST_F(DataIndication, ConfigRspDecodesTheWordsKeptBeforeTheVersionAndSetsTheClock) {
  entry(3).report_state = 0;
  entry(3).ModelVersion[0] = '\0';
  handle(sensor_data(0x0020, 0, 0, 2, {{"DEGC", 1, 0x7F80, 0x0001}, {"PCT ", 2, 0x0015, 0x1388}, {}, {}}).bytes);
  EXPECT_EQ(entry(3).value_high[0], 0x7F80);
  EXPECT_EQ(entry(3).channel_alarm[0], 0) << "nothing decoded without a version";
  link.sent(50);

  const std::uint32_t before = now();
  handle(config_response(5, 60).bytes);
  const shared::DeviceListEntry &e = entry(3);
  EXPECT_STREQ(e.ModelVersion, "0.9.0.5");
  EXPECT_STREQ(e.SensorCalDate, "2022/00/01");
  EXPECT_EQ(e.report_state, 1);
  EXPECT_EQ(e.EventInterval, 60);
  EXPECT_EQ(e.channel_alarm[0], 1) << "the kept error word decoded at last";
  EXPECT_EQ(e.time_sync_pending, 0);
  EXPECT_GE(e.last_time_sync, before);
  std::vector<Bytes> sent = frames_of(link.sent());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][3], 0x1A) << "SyncTime";
  EXPECT_EQ(option("ModelVersion"), "0.9.0.5");
  EXPECT_EQ(option("ModelName"), "QX-9") << "an empty model name keeps the stored one";
  EXPECT_EQ(option("EventInterval"), "60");

  handle(config_response(3, 0).bytes);
  EXPECT_EQ(frames_of(link.sent()), std::vector<Bytes>{bytes({0x10, 0x00, 0x0A, 0x1B, 0x0E, 0x00, 0x03, 0x00, 0x03, 0x00,
                                                              0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0})})
      << "0.9.0.3 sends no interval: asked for it";
  EXPECT_EQ(entry(3).EventInterval, 60);
}

}  // namespace
}  // namespace vorn::data
