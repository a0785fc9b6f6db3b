// The real daemon on the simulated network and cloud: network information, the collector's
// Started state, joins recorded in sensorlist, a sensor that leaves removed, one that falls silent
// reported, transmit confirmations; and every frame the collector counts as sent shows up in the
// daemon's output. The cloud agent's fixed interface is checked on the way.
#include <gateway_lib/sensor_registry.h>
#include <sys/stat.h>

#include "gateway_run.h"

namespace sim::test {
namespace {

const char *const kDefaultIds[] = {"00124B0001A2B301", "00124B0001A2B302", "00124B0001A2B303", "00124B0001A2B304",
                                   "00124B0001A2B305", "00124B0001A2B306", "00124B0001A2B307", "00124B0001A2B308",
                                   "00124B0001A2B309", "00124B0001A2B30A"};

class SimNetwork : public GatewayRun {};

TEST_F(SimNetwork, DaemonRecordsTheNetworkAndEveryFrameItWasSent) {
  start_gateway(R"({"TimeScale":60,"NotActiveAfter":2})");
  EXPECT_TRUE(eventually([] { return daemon_lines("Collector State Change: Started\n") == 1; }, 10));
  EXPECT_EQ(daemon_lines("Update Network Info:\n"), 1u);
  EXPECT_TRUE(eventually([] { return sensor_option("Coprocessor", "ModelName") == "VORN-COPRO-US"; }, 20));
  EXPECT_EQ(sensor_option("Coprocessor", "StartCount"), "0");
  EXPECT_EQ(sensor_option("Coprocessor", "ExtAddress"), "00124B000F0E0D0C");

  // Every sensor of the default network joins and is recorded under its short address.
  for (int i = 0; i < 10; ++i) {
    char address[8];
    std::snprintf(address, sizeof address, "%04X", i + 1);
    EXPECT_TRUE(eventually([&] { return sensor_option(kDefaultIds[i], "ShortAddress") == address; }, 60))
        << kDefaultIds[i] << "\n" << shell("uci show sensorlist");
  }

  // A re-join of a sensor with no firmware on record brings a configuration request, which the
  // collector confirms (and the older firmware answers with its ConfigRsp).
  ASSERT_TRUE(bus_call("collector_sim", "rejoin", R"({"ID":"00124B0001A2B304"})"));
  EXPECT_TRUE(eventually([] { return daemon_lines("Tx Data Request Result: 0x0\n") >= 1; }, 30)) << file_text(kDaemonOutput);

  // A sensor made to leave is forgotten; a silent one is reported not active and, having described
  // itself, kept (a sensor that never did is removed: the device membership tests show that).
  ASSERT_TRUE(eventually([] { return !sensor_option("00124B0001A2B305", "SensorVersion").empty(); }, 60));
  ASSERT_TRUE(bus_call("collector_sim", "leave", R"({"ID":"00124B0001A2B302"})"));
  ASSERT_TRUE(bus_call("collector_sim", "silence", R"({"ShortAddress":"0005"})"));
  EXPECT_TRUE(eventually([] { return sensor_option("00124B0001A2B302", "ShortAddress").empty(); }, 30));
  EXPECT_TRUE(eventually([] { return daemon_lines("Device NotActive:\n") == 1; }, 60)) << file_text(kDaemonOutput);
  EXPECT_EQ(sensor_option("00124B0001A2B305", "ShortAddress"), "0005");
  EXPECT_EQ(daemon_lines("Device Left: 00124B0001A2B302\n"), 1u);
  EXPECT_FALSE(bus_call("collector_sim", "fail", R"({"ID":"00124B0001A2B301","Channel":7})")) << "no channel 7";

  // The collector's counts equal what the daemon printed for each kind, once the last handler ran.
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  const struct {
    const char *kind;
    std::vector<const char *> lines;
  } kinds[] = {
      {"APP_DEVICE_JOINED_IND", {"Device Joined:\n", "Device Re-Joined:\n"}},
      {"APP_DEVICE_LEFT_IND", {"Device Left: "}},
      {"APP_DEVICE_NOTACTIVE_UPDATE_IND", {"Device NotActive:\n"}},
      {"APP_NWK_INFO_IND", {"Update Network Info:\n"}},
      {"APP_GET_NWK_INFO_CNF", {"Get Network Info:\n"}},
      {"APP_COLLECTOR_STATE_CNG_IND", {"Collector State Change: "}},
      {"APP_TX_DATA_CNF", {"Tx Data Request Result: "}},
  };
  Json stats;
  const auto counts_agree = [&] {
    stats = bus_call("collector_sim", "stats");
    for (const auto &k : kinds) {
      std::size_t shown = 0;
      for (const char *line : k.lines) shown += daemon_lines(line);
      if (count_of(stats.get(), "Sent", k.kind) != static_cast<long long>(shown)) return false;
    }
    return true;
  };
  EXPECT_TRUE(eventually(counts_agree, 30)) << json_text(stats.get()) << "\n" << file_text(kDaemonOutput);
  EXPECT_EQ(count_of(stats.get(), "Sent", "APP_DEVICE_JOINED_IND"), 11);
  EXPECT_EQ(count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_REQ"), 0) << "the silent sensor is kept";
  EXPECT_GE(count_of(stats.get(), "Sent", "APP_DEVICE_DATA_RX_IND"), 10);
  EXPECT_EQ(int_member(stats.get(), "Rejected", -1), 0);

  // At exit the collector leaves the same counts in its stats file.
  std::system("killall -q -TERM collector");
  EXPECT_TRUE(eventually([] { return shell("pidof collector").empty(); }, 10));
  const Json at_exit = parse_json(file_text("/tmp/collector_sim/stats.json"));
  EXPECT_EQ(json_text(member(at_exit.get(), "Sent")), json_text(member(stats.get(), "Sent")));
}

TEST_F(SimNetwork, CloudAgentLogsAnswersAndHandsOutHeldMessages) {
  start_gateway(R"({"TimeScale":1,"Sensors":[]})");
  const std::string joined = R"({"ID":"00124B0001A2B3C4","GatewayID":"GW00124B00A1B2C3","Type":0,"Body":"{\"Parent\":\"GW00124B00A1B2C3\"}"})";
  const auto transmit = [](const std::string &msg) {
    const Json arguments(json_object_new_object());
    json_object_object_add(arguments.get(), "id", json_object_new_string("vorn_mgr"));
    json_object_object_add(arguments.get(), "msg", json_object_new_string(msg.c_str()));
    return parse_json(string_member(bus_call("cloud_agent", "transmit", json_text(arguments.get())).get(), "rc"));
  };
  Json rc = transmit(joined);
  ASSERT_TRUE(rc);
  EXPECT_EQ(int_member(rc.get(), "SeqNo"), 1);
  EXPECT_EQ(int_member(rc.get(), "Result"), 1);
  EXPECT_EQ(int_member(rc.get(), "NewMsgArrived"), 0);
  EXPECT_NEAR(static_cast<double>(int_member(rc.get(), "Timestamp")), static_cast<double>(time(nullptr)), 60);
  EXPECT_NE(is_sensor_registered("00124B0001A2B3C4"), 0) << "a joined sensor is registered";

  const std::string held = R"({"ID":"00124B0001A2B3C4","Type":2,"Body":"[{\"Key\":\"EventInterval\",\"Value\":600}]"})";
  std::ofstream("/tmp/cloud_agent/hold/00124B0001A2B3C4.json") << held;
  rc = transmit("not json at all");
  EXPECT_EQ(int_member(rc.get(), "SeqNo"), 2);
  EXPECT_EQ(int_member(rc.get(), "NewMsgArrived"), 0) << "no sensor named";
  rc = transmit(joined);
  EXPECT_EQ(int_member(rc.get(), "NewMsgArrived"), 1);
  const Json obtained = bus_call("cloud_agent", "obtain", R"({"id":"vorn_mgr","msg":"{\"ID\":\"00124B0001A2B3C4\"}"})");
  EXPECT_EQ(string_member(obtained.get(), "rc"), held);
  EXPECT_NE(access("/tmp/cloud_agent/hold/00124B0001A2B3C4.json", F_OK), 0) << "deleted once handed out";
  EXPECT_EQ(string_member(bus_call("cloud_agent", "obtain", R"({"msg":"{\"ID\":\"../../etc/passwd\"}"})").get(), "rc"), "{}");

  EXPECT_EQ(file_text("/tmp/cloud_agent/transmit.log"), joined + "\nnot json at all\n" + joined + "\n");
  const Json reports = bus_call("cloud_agent", "reports", R"({"ID":"00124B0001A2B3C4"})");
  json_object *list = member(reports.get(), "Reports");
  ASSERT_EQ(list != nullptr ? json_object_array_length(list) : 0u, 2u);
  EXPECT_EQ(string_member(json_object_array_get_idx(list, 0), "Body"), R"({"Parent":"GW00124B00A1B2C3"})");
  transmit(R"({"ID":"00124B0001A2B3C4","GatewayID":"GW","Type":0,"Body":"{\"Parent\":\"\"}"})");
  EXPECT_EQ(is_sensor_registered("00124B0001A2B3C4"), 0) << "a sensor that left is forgotten";
  stop_program(agent_);
  EXPECT_EQ(file_text("/tmp/cloud_agent.out").find("Sanitizer"), std::string::npos) << file_text("/tmp/cloud_agent.out");
}

TEST(SimStandIns, WatchdogRestartsOnlyACollectorThatIsNotReadyAndTheModuleCheckLogs) {
  std::ofstream("/etc/collector_sim.json") << R"({"Sensors":[]})";
  std::system("killall -q -9 collector; rm -f /tmp/collector_ready /etc/cm_log");
  EXPECT_EQ(std::system("/usr/sbin/cm_restart 1 1"), 0);
  EXPECT_TRUE(eventually([] { return file_text("/tmp/collector_ready") == "1"; }, 20)) << "restarted and ready";
  EXPECT_NE(file_text("/etc/cm_log").find("restarted (1/1)"), std::string::npos);
  EXPECT_EQ(std::system("/usr/sbin/cm_restart 1 2"), 0);
  EXPECT_EQ(occurrences(file_text("/etc/cm_log"), "restarted"), 1u) << "a ready collector is left alone";
  EXPECT_EQ(std::system("check_sub1g_module"), 0);
  EXPECT_NE(file_text("/tmp/check_sub1g_module.log").find("collector running: yes, listening on 127.0.0.1:5000: yes"),
            std::string::npos) << file_text("/tmp/check_sub1g_module.log");
  std::system("killall -q -TERM collector");
}

}  // namespace
}  // namespace sim::test
