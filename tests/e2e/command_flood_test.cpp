// A flood of cloud commands at a thousand a second for ten seconds: a valid command sent after it
// is carried out within seconds. Newer intervals for a sensor take the place of older ones still
// waiting (the last one sent is the one stored), and commands beyond the backlog are dropped and
// counted; the status object answers throughout.
#include "gateway_run.h"

namespace sim::test {
namespace {

constexpr const char *kFlooded = "00124B0003000021";
constexpr const char *kOther = "00124B0003000022";
constexpr const char *kQuiet = "00124B0003000023";

std::string network() {
  std::string sensors;
  for (const char *id : {kFlooded, kOther, kQuiet}) {
    const std::string tail = std::string(id).substr(12);
    sensors += std::string(sensors.empty() ? "" : ",") + R"({"ExtAddress":")" + id + R"(","ShortAddress":")" + tail +
               R"(","ModelName":"VT-CF","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]})";
  }
  return R"({"TimeScale":30,"Sensors":[)" + sensors + "]}";
}

std::string set_event_timer(const std::string &id, int interval) {
  return R"({"SetEventTimer":")" + id + R"(","TimeBase":")" + std::to_string(interval) + R"("})";
}

class CommandFlood : public GatewayRun {};

TEST_F(CommandFlood, AValidCommandAfterATenSecondFloodIsCarriedOutWithinSeconds) {
  start_gateway(network());
  ASSERT_TRUE(eventually([] {
    for (const char *id : {kFlooded, kOther, kQuiet})
      if (sensor_option(id, "ModelVersion").empty()) return false;
    return true;
  }, 120)) << shell("uci show sensorlist");
  const std::size_t mark = daemon_output().size();

  // Intervals for two sensors, device list requests and join permits, and intervals for sensors
  // the gateway does not know (each a command of its own: nothing replaces them).
  uloop_init();
  Bus bus(ubus_connect(nullptr));
  ASSERT_NE(bus, nullptr);
  int last_interval = 0, failed_sends = 0, status_unanswered = 0;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 10000; ++i) {
    std::this_thread::sleep_until(started + std::chrono::milliseconds(i));
    std::string command;
    switch (i % 5) {
      case 0:
      case 1: command = set_event_timer(kFlooded, last_interval = 100 + i % 900); break;
      case 2: command = set_event_timer(kOther, 200 + i % 700); break;
      case 3: command = i % 2 ? R"({"GetDevList":null})" : R"({"JoinNetwork_Enable":0})"; break;
      default: {
        char unknown[17];
        std::snprintf(unknown, sizeof unknown, "00124B00FFFF%04X", i & 0xFFFF);
        command = set_event_timer(unknown, 60);
      }
    }
    failed_sends += send_event(bus.get(), "vorn_mgr", command) != 0;
    if (i % 2000 == 1999) status_unanswered += !bus_call("vorn_mgr", "status");
  }
  const auto flood_ended = std::chrono::steady_clock::now();
  ASSERT_EQ(send_event(bus.get(), "vorn_mgr", set_event_timer(kQuiet, 333)), 0);
  bus.reset();
  uloop_done();
  EXPECT_EQ(failed_sends, 0);
  EXPECT_EQ(status_unanswered, 0) << "the status object answered during the flood";

  // At most 64 commands wait before it: a second or two, more under the sanitizers (the commands
  // queued through the flood on main's code took minutes).
  EXPECT_TRUE(eventually([] { return sensor_option(kQuiet, "EventIntervalUserWanted") == "333"; }, 20))
      << "the valid command after the flood, "
      << std::chrono::duration<double>(std::chrono::steady_clock::now() - flood_ended).count() << " s on\n"
      << json_text(bus_call("vorn_mgr", "status").get());
  EXPECT_TRUE(eventually([&] { return sensor_option(kFlooded, "EventIntervalUserWanted") == std::to_string(last_interval); }, 30))
      << "the last interval sent is the one kept";
  const Json status = bus_call("vorn_mgr", "status");
  json_object *commands = member(status.get(), "commands");
  EXPECT_GE(int_member(commands, "merged"), 1000) << json_text(commands);
  const long long dropped = int_member(commands, "dropped", -1);
  EXPECT_GE(dropped, 0);
  EXPECT_EQ(dropped > 0, daemon_lines("Cloud command dropped: 64 wait already", mark) > 0) << "a first drop is said";
  EXPECT_TRUE(eventually([] { return int_member(member(bus_call("vorn_mgr", "status").get(), "commands"), "waiting", -1) == 0; }, 30));
  EXPECT_TRUE(eventually([] {
    const Json list = bus_call("collector_sim", "list");
    return int_member(sim_sensor(list.get(), kQuiet), "EventInterval") == 333;
  }, 60)) << "the valid command reached its sensor";
}

}  // namespace
}  // namespace sim::test
