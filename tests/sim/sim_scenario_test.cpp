// The gateway's main job in accelerated time, on the default simulated network: every sensor is
// identified and reports values that change; the cloud hears of each; a failed channel raises one
// alarm; the cloud's SetEventTimer and RemoveDev take effect; every frame is handled.
#include "gateway_run.h"

namespace sim::test {
namespace {

const char *const kIds[] = {"00124B0001A2B301", "00124B0001A2B302", "00124B0001A2B303", "00124B0001A2B304",
                            "00124B0001A2B305", "00124B0001A2B306", "00124B0001A2B307", "00124B0001A2B308",
                            "00124B0001A2B309", "00124B0001A2B30A"};
const char *const kLogged[] = {"00124B0001A2B302", "00124B0001A2B309"};  // buffered, logged: type 9 to the cloud

long long reports_of(const char *id, int type) {
  const Json counts = bus_call("cloud_agent", "reports");
  return int_member(member(member(counts.get(), "Sensors"), id), std::to_string(type).c_str(), 0);
}

Json last_reports(const char *id, int type, int limit) {
  return bus_call("cloud_agent", "reports",
                  std::string(R"({"ID":")") + id + R"(","Type":)" + std::to_string(type) + ",\"Limit\":" + std::to_string(limit) + "}");
}

bool is_logged(const std::string &id) { return id == kLogged[0] || id == kLogged[1]; }

// What a sensor last measured: its live body in shared memory, or its last logged report.
std::string latest_values(const char *id) {
  if (!is_logged(id)) return shell(std::string("shmchan get ") + id);
  const Json last = last_reports(id, 9, 1);
  json_object *list = member(last.get(), "Reports");
  return list != nullptr && json_object_array_length(list) == 1
             ? string_member(json_object_array_get_idx(list, 0), "Body") : "";
}

json_object *status_sensor(json_object *status, const char *id) {
  json_object *sensors = member(status, "Sensors");
  for (std::size_t i = 0; sensors != nullptr && i < json_object_array_length(sensors); ++i)
    if (string_member(json_object_array_get_idx(sensors, i), "ID") == id) return json_object_array_get_idx(sensors, i);
  return nullptr;
}

class Scenario : public GatewayRun {};

TEST_F(Scenario, GatewayServesTheSimulatedNetworkAndCloud) {
  start_gateway(R"({"TimeScale":30})");

  // Each check covers every sensor and names the ones that fail it.
  std::string missing;
  const auto for_every_sensor = [&](auto check) {
    missing.clear();
    for (const char *id : kIds)
      if (!check(id)) missing += std::string(id) + " ";
    return missing.empty();
  };
  ASSERT_TRUE(eventually([&] { return for_every_sensor([](const char *id) { return !sensor_option(id, "ModelVersion").empty(); }); }, 180))
      << "not identified: " << missing << "\n" << shell("uci show sensorlist");
  EXPECT_TRUE(eventually([&] {
    return for_every_sensor([](const char *id) {
      for (int type : {0, 1, 2, 3})
        if (reports_of(id, type) < 1) return false;
      return true;
    });
  }, 120)) << "without joined, channel list, settings and device information reports: " << missing;

  std::map<std::string, std::string> first;
  EXPECT_TRUE(eventually([&] { return for_every_sensor([&](const char *id) { return !(first[id] = latest_values(id)).empty(); }); }, 120))
      << "no values from " << missing;
  EXPECT_TRUE(eventually([&] { return for_every_sensor([&](const char *id) { return latest_values(id) != first[id]; }); }, 120))
      << "values that do not change: " << missing;

  // A channel fails: exactly one alarm, however long it stays failed.
  ASSERT_TRUE(bus_call("collector_sim", "fail", R"({"ID":"00124B0001A2B301","Channel":1,"Code":1})"));
  EXPECT_TRUE(eventually([] { return reports_of("00124B0001A2B301", 6) == 1; }, 60));
  std::this_thread::sleep_for(std::chrono::seconds(10));  // five more frames of the sensor
  EXPECT_EQ(reports_of("00124B0001A2B301", 6), 1);
  const Json alarm = last_reports("00124B0001A2B301", 6, 1);
  const std::string alarm_body = string_member(json_object_array_get_idx(member(alarm.get(), "Reports"), 0), "Body");
  EXPECT_NE(alarm_body.find(R"("Value":"OPEN")"), std::string::npos) << alarm_body;
  ASSERT_TRUE(bus_call("collector_sim", "restore", R"({"ID":"00124B0001A2B301","Channel":1})"));

  // The cloud sets an interval: the sensor runs at it and the status view shows it.
  std::system(R"(ubus send vorn_mgr '{"SetEventTimer":"00124B0001A2B303","TimeBase":"120"}')");
  EXPECT_TRUE(eventually([] {
    const Json status = parse_json(shell("vorn_status --json"));
    return int_member(member(status_sensor(status.get(), "00124B0001A2B303"), "DeviceList"), "EventInterval") == 120;
  }, 60)) << shell("vorn_status");
  EXPECT_EQ(sensor_option("00124B0001A2B303", "EventIntervalUserWanted"), "120");
  EXPECT_NE(json_text(bus_call("collector_sim", "list").get()).find(R"("ID":"00124B0001A2B303","ShortAddress":"0003","Style":"config","Frames":"live","ModelName":"VS-ENV1","ModelVersion":"1.1.0.2","SensorVersion":"1.0.0.7","EventInterval":120)"),
            std::string::npos);

  // The cloud removes a sensor: it leaves, its section goes, the cloud is told.
  std::system(R"(ubus send vorn_mgr '{"RemoveDev":"00124B0001A2B306"}')");
  EXPECT_TRUE(eventually([] { return sensor_option("00124B0001A2B306", "ShortAddress").empty(); }, 60));
  EXPECT_TRUE(eventually([] {
    const Json left = last_reports("00124B0001A2B306", 0, 1);
    json_object *list = member(left.get(), "Reports");
    return list != nullptr && json_object_array_length(list) == 1 &&
           string_member(json_object_array_get_idx(list, 0), "Body") == R"({"Parent":""})";
  }, 60));
  EXPECT_EQ(json_text(bus_call("collector_sim", "list").get()).find("00124B0001A2B306"), std::string::npos);

  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(60);
  const Json counts = bus_call("cloud_agent", "reports");
  EXPECT_EQ(int_member(member(counts.get(), "Types"), "6"), 1) << "one alarm in all";
  for (const char *id : kLogged) EXPECT_GE(reports_of(id, 9), 2) << id;
}

}  // namespace
}  // namespace sim::test
