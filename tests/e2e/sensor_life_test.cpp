// Sensors of each firmware style join a running gateway, are recorded everywhere the gateway keeps
// a sensor, deliver what they measure, fall silent, leave, and join again from scratch.
#include <unistd.h>

#include "gateway_records.h"
#include "gateway_run.h"

namespace sim::test {
namespace {

struct Channel {
  const char *name;
  int type;
  const char *unit;
};

struct Style {
  const char *id;
  const char *short_address;
  const char *options;             // the collector's "add" arguments besides addresses and channels
  std::vector<Channel> channels;
  double fixed;                    // set on channel 0 through the collector's control ...
  const char *fixed_text;          // ... and delivered in this form
  bool logged;                     // values go to the cloud as logged data, else to shared memory
};

const Style kStyles[] = {
    {"00124B0003000011", "0011", R"("ModelName":"VT-TH9","ClockOffset":400)", {{"Temperature", 1, "°C"}, {"Humidity", 2, "%RH"}},
     23.25, R"("V":23.25)", false},
    {"00124B0003000012", "0012", R"("ModelName":"VT-PT9","Frames":"buffered","Records":2,"Logged":true)",
     {{"Pressure", 3, "kPa"}}, 251.5, R"("V":251.50)", true},
    {"00124B0003000013", "0013", R"("Style":"config","ModelName":"VS-EN9")", {{"Temperature", 1, "°C"}, {"CO2", 5, "ppm"}}, 812,
     R"("V":812.00)", false},
};

std::string add_arguments(const Style &style) {
  std::string channels;
  for (const Channel &c : style.channels)
    channels += std::string(channels.empty() ? "" : ",") + R"({"Name":")" + c.name + R"(","Type":)" + std::to_string(c.type) + R"(,"Unit":")" + c.unit + "\"}";
  return std::string(R"({"ExtAddress":")") + style.id + R"(","ShortAddress":")" + style.short_address + R"(",)" +
         style.options + R"(,"Channels":[)" + channels + "]}";
}

std::string database(const std::string &id) { return "/etc/data/" + id + ".sqlite"; }

// Everything the gateway keeps of a sensor it has identified, checked against what the collector
// says of the sensor. The reasons it is not there yet go to `why`.
bool fully_recorded(const Style &style, std::string &why) {
  const Json list = bus_call("collector_sim", "list");
  json_object *sensor = sim_sensor(list.get(), style.id);
  why.clear();
  if (sensor_option(style.id, "ShortAddress") != style.short_address) why += "ShortAddress; ";
  if (sensor_option(style.id, "ModelVersion") != string_member(sensor, "ModelVersion")) why += "ModelVersion; ";
  if (sensor_option(style.id, "SensorVersion") != string_member(sensor, "SensorVersion")) why += "SensorVersion; ";
  if (sensor_option(style.id, "EventInterval") != "60") why += "EventInterval; ";
  if (file_text(database(style.id).c_str()) != file_text("/rom/etc/default_data.sqlite")) why += "database file; ";
  const auto entry = device_entry(style.id);
  if (!entry || entry->model_version != string_member(sensor, "ModelVersion") || entry->event_interval != 60 ||
      entry->channel_count != style.channels.size() || entry->report_state == 0)
    why += "DeviceList entry; ";
  for (int type : {0, 1, 2, 3})
    if (reports_of(style.id, type) < 1) why += "report type " + std::to_string(type) + "; ";
  const std::string channel_list = last_body(style.id, 1);
  for (const Channel &c : style.channels)
    if (channel_list.find(std::string(R"("N":")") + c.name + "\"") == std::string::npos) why += "channel list; ";
  return why.empty();
}

std::string latest_values(const Style &style) {
  return style.logged ? last_body(style.id, 9) : shell(std::string("shmchan get ") + style.id);
}

class SensorLife : public GatewayRun {};

TEST_F(SensorLife, EachStyleJoinsIsRecordedDeliversFallsSilentLeavesAndJoinsAgain) {
  start_gateway(R"({"TimeScale":30,"NotActiveAfter":3,"Sensors":[]})");
  const std::string gateway = shell("uci -q get gateway.main.register_name").substr(0, 16);
  for (const Style &style : kStyles) ASSERT_TRUE(bus_call("collector_sim", "add", add_arguments(style))) << style.id;

  std::string why;
  for (const Style &style : kStyles) {
    EXPECT_TRUE(eventually([&] { return fully_recorded(style, why); }, 120)) << style.id << ": " << why;
    EXPECT_EQ(last_body(style.id, 0), R"({"Parent":")" + gateway + R"("})") << "joined report";
    const std::string set = R"({"ID":")" + std::string(style.id) + R"(","Channel":0,"Value":)" + std::to_string(style.fixed) + "}";
    ASSERT_TRUE(bus_call("collector_sim", "set", set));
  }
  for (const Style &style : kStyles)
    EXPECT_TRUE(eventually([&] { return latest_values(style).find(style.fixed_text) != std::string::npos; }, 60))
        << style.id << " delivered " << latest_values(style);
  EXPECT_GE(daemon_lines("Send SyncTime to 0x0011"), 1u) << "the sensor whose clock is off is set";

  // A silent sensor that described itself is reported not active and kept; it reports again later.
  const Style &config = kStyles[2];
  ASSERT_TRUE(bus_call("collector_sim", "silence", R"({"ID":"00124B0003000013"})"));
  EXPECT_TRUE(eventually([] { return daemon_lines("Device NotActive:\n") == 1; }, 60)) << daemon_output();
  EXPECT_EQ(daemon_lines("not active kill"), 0u);
  const std::size_t frames_before = daemon_lines(": Sensor 0x0013");
  ASSERT_TRUE(bus_call("collector_sim", "restore", R"({"ID":"00124B0003000013"})"));
  EXPECT_TRUE(eventually([&] { return daemon_lines(": Sensor 0x0013") > frames_before; }, 30));
  EXPECT_TRUE(fully_recorded(config, why)) << why;

  // Each leaves: nothing of it stays, and the cloud is told.
  for (const Style &style : kStyles) {
    ASSERT_EQ(set_oad_sensor(style.id, "/etc/msp430/fw.bin", 2, 50), 0);
    ASSERT_TRUE(bus_call("collector_sim", "leave", R"({"ID":")" + std::string(style.id) + "\"}"));
  }
  for (const Style &style : kStyles) {
    EXPECT_TRUE(eventually([&] { return last_body(style.id, 0) == R"({"Parent":""})"; }, 60)) << style.id;
    EXPECT_EQ(daemon_lines(std::string("Device Left: ") + style.id + "\n"), 1u);
    EXPECT_EQ(shell(std::string("uci -q show sensorlist.@") + style.id + "[]"), "") << style.id;
    EXPECT_FALSE(device_entry(style.id)) << style.id;
    EXPECT_NE(access(database(style.id).c_str(), F_OK), 0) << style.id;
    EXPECT_TRUE(eventually([&] { return !has_oad_record(style.id); }, 10)) << style.id << ": download record kept";
  }

  // A sensor that joins again is recorded from scratch.
  const Style &again = kStyles[0];
  const long long parent_reports = reports_of(again.id, 0);
  ASSERT_TRUE(bus_call("collector_sim", "add", add_arguments(again)));
  EXPECT_TRUE(eventually([&] { return reports_of(again.id, 0) > parent_reports && fully_recorded(again, why); }, 120)) << why;
  EXPECT_EQ(last_body(again.id, 0), R"({"Parent":")" + gateway + R"("})");

  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(60);
  const Json stats = bus_call("collector_sim", "stats");
  EXPECT_EQ(count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_REQ") + count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_NEW_REQ"), 0)
      << "no sensor was removed by the gateway";
  EXPECT_EQ(count_of(stats.get(), "Sent", "APP_DEVICE_LEFT_IND"), 3);
}

}  // namespace
}  // namespace sim::test
