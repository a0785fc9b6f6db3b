// Ten sensors of both firmware styles for two simulated hours: every frame the collector sent was
// handled by the daemon, and the cloud heard from every sensor.
#include "gateway_run.h"

namespace sim::test {
namespace {

// Ten sensors on five-minute intervals; at 120 simulated seconds per second, two hours take a minute.
std::string long_run_network() {
  std::string sensors;
  for (int i = 1; i <= 10; ++i) {
    char sensor[768];
    const bool old_style = i % 2 == 0;
    const bool buffered = !old_style && i % 3 == 0;
    std::snprintf(sensor, sizeof sensor,
                  R"(%s{"ExtAddress":"00124B00010000%02X","ShortAddress":"%04X","Style":"%s","Frames":"%s",)"
                  R"("ModelName":"VT-LR%d","EventInterval":300,"Records":3,"Logged":true,)"
                  R"("Channels":[{"Name":"Temperature","Type":1,"Unit":"°C","Base":%d,"Amplitude":3,"Period":1800},)"
                  R"({"Name":"Humidity","Type":2,"Unit":"%%RH","Base":50,"Amplitude":10,"Period":2400}]})",
                  i == 1 ? "" : ",", i, i, old_style ? "config" : "identification", buffered ? "buffered" : "live", i,
                  15 + i);
    sensors += sensor;
  }
  return R"({"TimeScale":120,"Sensors":[)" + sensors + "]}";
}

class LongRun : public GatewayRun {};

TEST_F(LongRun, TwoSimulatedHoursOfTenSensorsAllHandled) {
  start_gateway(long_run_network());
  EXPECT_TRUE(eventually([] {
    return int_member(bus_call("collector_sim", "stats").get(), "SimulatedSeconds") >= 7200;
  }, 600));
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(90);

  const Json stats = bus_call("collector_sim", "stats");
  EXPECT_EQ(count_of(stats.get(), "Sent", "APP_DEVICE_JOINED_IND"), 10);
  EXPECT_GE(count_of(stats.get(), "Sent", "APP_DEVICE_DATA_RX_IND"), 10 * 20) << "about 24 intervals per sensor";
  const Json counts = bus_call("cloud_agent", "reports");
  for (int i = 1; i <= 10; ++i) {
    char id[20];
    std::snprintf(id, sizeof id, "00124B00010000%02X", i);
    EXPECT_FALSE(sensor_option(id, "ModelVersion").empty()) << id;
    EXPECT_GE(int_member(member(member(counts.get(), "Sensors"), id), "0"), 1) << id << " joined report";
  }
}

}  // namespace
}  // namespace sim::test
