// Every report kind, whole texts compared: what reaches the agent's "transmit" and what is
// published on the sensor's shared-memory channel.
#include <gateway_lib/sensor_registry.h>
#include <gateway_lib/shm_channel.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <regex>
#include <thread>
#include <vector>

#include "cloud/device_reports.h"
#include "cloud/measurement_reports.h"
#include "shared/status_counters.h"
#include "cloud_fixture.h"

namespace vorn::cloud {
namespace {

using namespace vorn::test;

const float kError = static_cast<float>(2139095040 + 3);  // a channel in error, as the data handler stores it
constexpr std::int32_t kBase = 1700000000;

void set_channels(shared::SensorReport &r, std::initializer_list<int> types, std::initializer_list<float> values = {}) {
  r.channel_count = static_cast<std::uint8_t>(types.size());
  int i = 0;
  for (int type : types) r.channel_types[i++] = static_cast<std::uint8_t>(type);
  i = 0;
  for (float value : values) r.values[i++] = value;
}

// Two channels as an Identification Request describes them; the second fills its name and unit
// fields to the last byte, without terminators.
shared::ChannelMeta kMeta[2] = {{"Inlet", 1, "degC"}, {{}, 200, {}}};
void fill_meta_without_terminators() {
  std::memcpy(kMeta[1].name, "SeventeenCharName", 17);
  std::memcpy(kMeta[1].unit, "mmHgX", 5);
}

using CloudReports = CloudFixture;

TEST_F(CloudReports, EachReportReachesTransmitAsItsWholeText) {
  fill_meta_without_terminators();
  float record_values[4][2] = {{21.5f, 22.0f}, {kError, 23.25f}, {-3.5f, 0.0f}, {12.345f, 1.0f}};
  shared::DataRecord records[5] = {{kBase, record_values[0], nullptr},      {kBase + 60, record_values[1], nullptr},
                                 {kBase + 120, record_values[2], nullptr}, {kBase - 30, record_values[3], nullptr},
                                 {kBase + 180, nullptr, nullptr}};
  shared::ChannelMeta buffered_meta[2] = {{"Inlet", 1, "degC"}, {"Outlet", 1, "degC"}};
  const std::string channel_list_body =
      R"([{"N":"Temperature1","T":"Temperature","U":"degC"},{"N":"Temperature2","T":"Temperature","U":"degC"},)"
      R"({"N":"Flow","T":"Flow Rate","U":"m3\/h"}])";

  struct Case {
    const char *what;
    std::function<void(shared::SensorReport &)> send;
    std::vector<std::string> expected;
  } cases[] = {
      {"joined", [](auto &r) { report_joined(&r); },
       {R"({"ID":"00124B0001A2B3C4","GatewayID":"GW00124B00A1B2C3","Type":0,"Body":"{\"Parent\":\"GW00124B00A1B2C3\"}"})"}},
      {"left", [](auto &r) { report_left(&r); },
       {R"({"ID":"00124B0001A2B3C4","GatewayID":"GW00124B00A1B2C3","Type":0,"Body":"{\"Parent\":\"\"}"})"}},
      {"null report", [](auto &) { report_joined(nullptr); report_settings(nullptr); report_device_info(nullptr); }, {}},
      {"settings",
       [](auto &r) {
         r.event_interval = 300;
         set_deadband_threshold(kSensorId, 5);
         report_settings(&r);
       },
       {envelope(2, R"([{"Key":"EventInterval","Value":300},{"Key":"DeadBand","Value":5}])")}},
      {"settings without interval", [](auto &r) { report_settings(&r); }, {}},
      {"device information",
       [](auto &r) {
         std::strcpy(r.manufacturer, "Maker");
         std::strcpy(r.model_number, "TH-10");
         std::strcpy(r.sensor_version, "1.2.3.4");
         std::strcpy(r.model_version, "2.0.0.1");
         std::strcpy(r.calibration_date, "2024/01/31");
         r.power_source = 1, r.battery = 3.6f, r.rssi = -60, r.op_voltage = 3.3f, r.op_temperature = -1;
         report_device_info(&r);
       },
       {envelope(3, R"([{"Key":"Manufacturer","Value":"Maker"},{"Key":"Model","Value":"TH-10"},)"
                    R"({"Key":"Firmware","Value":"1.2.3.4"},{"Key":"RFFirmware","Value":"2.0.0.1"},)"
                    R"({"Key":"CalibrationDate","Value":"2024\/01\/31"},{"Key":"PowerSource","Value":1},)"
                    R"({"Key":"Battery","Value":3.6},{"Key":"RSSI","Value":-60},{"Key":"DeviceVoltage","Value":3.3},)"
                    R"({"Key":"DeviceTemperature","Value":-1}])")}},
      {"device information at 0 degrees", [](auto &r) { r.battery = 3.6f; report_device_info(&r); }, {}},
      {"channel list, numbered, units cut to 4",
       [](auto &r) {
         set_channels(r, {1, 1, 9});
         std::strcpy(r.channel_units[0], "degC");
         std::strcpy(r.channel_units[1], "degC");
         std::strcpy(r.channel_units[2], "m3/h");
         report_channel_list(&r);
       },
       {envelope(1, channel_list_body)}},
      {"channel lists with metadata: map names or the sensor's own",
       [](auto &r) {
         set_channels(r, {9, 9});
         r.channel_meta = kMeta;
         report_channel_list(&r);
         report_channel_list_meta(&r);
       },
       {envelope(1, R"([{"N":"Temperature","T":"Temperature","U":"degC"},{"N":"Unknown","T":"200","U":"mmHg"}])"),
        envelope(1, R"([{"N":"Inlet","T":"Temperature","U":"degC"},{"N":"SeventeenCharName","T":"200","U":"mmHgX"}])")}},
      {"channel list without channels", [](auto &r) { report_channel_list(&r); }, {}},
      {"channel event",
       [](auto &r) {
         set_channels(r, {1, 2, 1});
         report_channel_event(&r, 2, 1, "OUT_OF_RANGE", 0, "The measured value is outside of the stated measurement range.");
         report_channel_event(&r, 3, 1, "OPEN", 0, "a channel the sensor does not have");
       },
       {envelope(6, R"([{"Time":NOW,"Source":"Temperature2","Type":1,"Value":"OUT_OF_RANGE","Level":0,)"
                    R"("Msg":"The measured value is outside of the stated measurement range."}])")}},
      {"buffered records with the no-alarm flag",
       [&](auto &r) {
         set_channels(r, {1, 1});
         r.channel_meta = buffered_meta;
         r.records = records;
         r.record_count = 5;
         r.base_time = kBase;
         r.no_alarm = 1;
         report_buffered_data(&r);
       },
       {envelope(9, R"([{"BaseTime":1700000000000,"Values":[)"
                    R"({"Name":"Inlet","Values":[{"T":0,"V":21.50},{"T":60,"V":"NaN"},{"T":120,"V":-3.50},{"T":30,"V":12.35}]},)"
                    R"({"Name":"Outlet","Values":[{"T":0,"V":22.00},{"T":60,"V":23.25},{"T":120,"V":0.00},{"T":30,"V":1.00}]}]}])")}},
      {"logged live reading",
       [](auto &r) {
         set_channels(r, {1}, {21.5f});
         r.ReportType = 1;
         r.base_time = kBase;
         report_live_data(&r);
       },
       {envelope(9, R"([{"BaseTime":1700000000000,"Values":[{"Name":"Temperature","Values":[{"T":0,"V":21.50}]}]}])")}},
  };
  for (auto &c : cases) {
    SetUp();
    const std::int64_t before = std::time(nullptr);
    c.send(report);
    const std::int64_t after = std::time(nullptr);
    std::vector<std::string> sent = transmitted();
    // The event's time is now: checked, then replaced by NOW for the comparison.
    std::smatch time;
    for (std::string &text : sent) {
      if (!std::regex_search(text, time, std::regex(R"(\\"Time\\":([0-9]+),)"))) continue;
      std::int64_t ms = std::stoll(time[1]);
      EXPECT_TRUE(ms % 1000 == 0 && ms / 1000 >= before && ms / 1000 <= after) << ms;
      text.replace(time.position(1), time.length(1), "NOW");
    }
    EXPECT_EQ(sent, c.expected) << c.what;
  }
}

TEST_F(CloudReports, MeasurementsArePublishedOnTheSensorsChannel) {
  shared::ChannelMeta meta[2] = {{"Inlet", 1, "degC"}, {"Outlet", 1, "degC"}};
  float record_values[2][2] = {{21.5f, kError}, {-3.5f, 0.0f}};
  shared::DataRecord records[2] = {{kBase, record_values[0], nullptr}, {kBase + 60, record_values[1], nullptr}};
  auto data_body = [](const std::string &values) {
    return std::string(R"({"ID":"00124B0001A2B3C4","Data":{"BaseTime":1700000000000,"Values":[)") + values + "]}}";
  };
  struct Case {
    const char *what;
    std::function<void(shared::SensorReport &)> send;
    std::string expected;  // "" when nothing may be published
  } cases[] = {
      {"four channels: value, error, negative, rounding",
       [](auto &r) { set_channels(r, {1, 2, 3, 4}, {21.5f, kError, -3.5f, 12.345f}), report_live_data(&r); },
       data_body(R"({"Name":"Temperature","Values":[{"T":0,"V":21.50}]},{"Name":"Humidity","Values":[{"T":0,"V":"NaN"}]},)"
                 R"({"Name":"Pressure","Values":[{"T":0,"V":-3.50}]},{"Name":"Barometer","Values":[{"T":0,"V":12.35}]})")},
      {"zeros and errors only", [](auto &r) { set_channels(r, {1, 2}, {0.0f, kError}), report_live_data(&r); }, ""},
      {"no channels", [](auto &r) { report_live_data(&r); }, ""},
      {"same type without metadata: numbered; a zero is reported beside a value",
       [](auto &r) { set_channels(r, {1, 1}, {0.0f, 5.0f}), report_live_data(&r); },
       data_body(R"({"Name":"Temperature1","Values":[{"T":0,"V":0.00}]},{"Name":"Temperature2","Values":[{"T":0,"V":5.00}]})")},
      {"same type with metadata: the plain map name",
       [&](auto &r) { set_channels(r, {9, 9}, {1.0f, 2.0f}), r.channel_meta = meta, report_live_data(&r); },
       data_body(R"({"Name":"Temperature","Values":[{"T":0,"V":1.00}]},{"Name":"Temperature","Values":[{"T":0,"V":2.00}]})")},
      {"infinities are no JSON numbers",
       [](auto &r) {
         set_channels(r, {1, 2}, {-std::numeric_limits<float>::infinity(), -3.0e38f}), report_live_data(&r);
       },
       data_body(R"({"Name":"Temperature","Values":[{"T":0,"V":"NaN"}]},)"
                 R"({"Name":"Humidity","Values":[{"T":0,"V":-300000000549775575777803994281145270272.00}]})")},
      {"buffered records without the no-alarm flag",
       [&](auto &r) {
         set_channels(r, {1, 1}), r.channel_meta = meta, r.records = records, r.record_count = 2;
         report_buffered_data(&r);
       },
       data_body(R"({"Name":"Inlet","Values":[{"T":0,"V":21.50},{"T":60,"V":-3.50}]},)"
                 R"({"Name":"Outlet","Values":[{"T":0,"V":"NaN"},{"T":60,"V":0.00}]})")},
  };
  for (auto &c : cases) {
    SetUp();
    report.base_time = kBase;
    std::int32_t size = 0;
    std::free(share_memory_read_then_clean_noneblock(kSensorId, &size, 10));
    c.send(report);
    char *published = static_cast<char *>(share_memory_read_noneblock(kSensorId, &size, 10));
    EXPECT_EQ(published ? std::string(published, static_cast<std::size_t>(size)) : "", c.expected) << c.what;
    std::free(published);
    EXPECT_EQ(transmitted(), std::vector<std::string>{}) << c.what << ": live and unflagged data never go on the bus";
  }
}

TEST_F(CloudReports, AllValuesInvalidOnlyWithoutAValidValue) {
  EXPECT_EQ(all_values_invalid(nullptr), 1);
  EXPECT_EQ(all_values_invalid(&report), 1);
  set_channels(report, {1, 1, 1}, {0.0f, kError, 2139095040.0f * 2});
  EXPECT_EQ(all_values_invalid(&report), 1);
  report.values[1] = std::nanf("");
  EXPECT_EQ(all_values_invalid(&report), 0) << "a NaN counts as a value and is written as \"NaN\"";
  report.values[1] = -0.01f;
  EXPECT_EQ(all_values_invalid(&report), 0);
}

// Each report counts once in the status object, by what became of it: answered records sent again
// while the agent was away are one report, delivered in the end; a call the agent did not answer
// in time counts as timed out (it may have taken it), not as failed; one that found no agent fails.
TEST_F(CloudReports, EachReportCountsOnceAndATimeOutIsNoFailure) {
  shared::create_status_counters();
  const shared::StatusCounters &counters = *shared::status_counters();
  const auto counts = [&counters] {
    return std::vector<std::uint32_t>{shared::load(counters.reports_made), shared::load(counters.reports_failed),
                                      shared::load(counters.reports_timed_out)};
  };
  const auto counted_since = [&counts](const std::vector<std::uint32_t> &before) {
    std::vector<std::uint32_t> now = counts();
    for (std::size_t i = 0; i < now.size(); ++i) now[i] -= before[i];
    return now;
  };
  shared::ChannelMeta meta[1] = {{"Level", 1, "m"}};
  float values[1] = {1.5f};
  shared::DataRecord records[1] = {{kBase, values, nullptr}};
  report.channel_meta = meta;
  report.records = records;
  report.record_count = 1;
  report.channel_count = 1;
  report.no_alarm = 1;  // logged: the records go on the bus
  report.base_time = kBase;

  std::vector<std::uint32_t> before = counts();
  delete agent;  // away at the first try, back for a later one
  agent = nullptr;
  std::thread comes_back([] {
    sleep(1);
    agent = new AgentProcess(core::daemon_state.cloud_agent_name);
  });
  const std::string said = capture_stdout([this] { report_answered_records(&report); });
  comes_back.join();
  EXPECT_NE(said.find("Records of 00124B0001A2B3C4 answered: waiting for Cloud_Agent"), std::string::npos) << said;
  EXPECT_EQ(transmitted().size(), 1u);
  EXPECT_EQ(counted_since(before), (std::vector<std::uint32_t>{1, 0, 0})) << "made, failed, timed out";

  before = counts();
  agent_file("delay_ms", "3600");
  capture_stdout([this] { EXPECT_EQ(report_buffered_data(&report), UBUS_STATUS_TIMEOUT); });
  EXPECT_EQ(counted_since(before), (std::vector<std::uint32_t>{1, 0, 1}));

  before = counts();
  const char *agent_name = core::daemon_state.cloud_agent_name;
  core::daemon_state.cloud_agent_name = const_cast<char *>("no_such_agent");
  capture_stdout([this] { report_buffered_data(&report); });
  core::daemon_state.cloud_agent_name = const_cast<char *>(agent_name);
  EXPECT_EQ(counted_since(before), (std::vector<std::uint32_t>{1, 1, 0}));
}

}  // namespace
}  // namespace vorn::cloud
