// The daemon killed and started again with sensors in sensorlist: the DeviceList is rebuilt from
// sensorlist, a pending MSP430 download is asked for again, a link semaphore left at 0 is reset,
// and the gateway goes on handling every frame.
#include <fcntl.h>
#include <semaphore.h>

#include "gateway_records.h"
#include "gateway_run.h"
#include "process_probe.h"

namespace sim::test {
namespace {

constexpr const char *kSemaphore = "/vorn_mgr_sem";
constexpr const char *kAway = "00124B0003000024";  // in sensorlist, but off the air after the restart
constexpr const char *kFirmware = "/etc/msp430/VT-AW/fw.bin";

std::string network(bool with_away_sensor) {
  std::string sensors =
      R"({"ExtAddress":"00124B0003000021","ShortAddress":"0021","ModelName":"VT-RS1","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]},)"
      R"({"ExtAddress":"00124B0003000022","ShortAddress":"0022","ModelName":"VT-RS2","Frames":"buffered","Records":2,"Channels":[{"Name":"Pressure","Type":3,"Unit":"kPa"}]},)"
      R"({"ExtAddress":"00124B0003000023","ShortAddress":"0023","Style":"config","ModelName":"VS-RS3","Channels":[{"Name":"CO2","Type":5,"Unit":"ppm"}]})";
  if (with_away_sensor)
    sensors += R"(,{"ExtAddress":"00124B0003000024","ShortAddress":"0024","ModelName":"VT-AW","ModelVersion":"3.0.0.1","EventInterval":90,"Channels":[{"Name":"Level","Type":13,"Unit":"m"}]})";
  return R"({"TimeScale":30,"Sensors":[)" + sensors + "]}";
}

// The link semaphore's value, -1 when it does not exist.
int semaphore_value() {
  sem_t *semaphore = sem_open(kSemaphore, 0);
  if (semaphore == SEM_FAILED) return -1;
  int value = -1;
  sem_getvalue(semaphore, &value);
  sem_close(semaphore);
  return value;
}

// Leaves the semaphore at 0, as a writer killed between its wait and its post would.
void leave_semaphore_taken() {
  sem_t *semaphore = sem_open(kSemaphore, O_CREAT, 0666, 1);
  ASSERT_NE(semaphore, SEM_FAILED);
  while (sem_trywait(semaphore) == 0) {
  }
  sem_close(semaphore);
}

class DaemonRestart : public GatewayRun {};

TEST_F(DaemonRestart, KilledDaemonComesBackWithItsSensorsDownloadsAndAFreeLink) {
  start_gateway(network(true));
  const char *const ids[] = {"00124B0003000021", "00124B0003000022", "00124B0003000023", kAway};
  ASSERT_TRUE(eventually([&] {
    for (const char *id : ids)
      if (sensor_option(id, "ModelVersion").empty() || sensor_option(id, "EventInterval").empty()) return false;
    return true;
  }, 120)) << shell("uci show sensorlist");
  ASSERT_EQ(sensor_option(kAway, "EventInterval"), "90");
  const std::multiset<std::string> sections = {"Coprocessor", ids[0], ids[1], ids[2], ids[3]};
  ASSERT_EQ(sensorlist_sections(), sections);

  // The daemon dies at once; its command process goes with it, handlers end on their own.
  kill(daemon_, SIGKILL);
  waitpid(daemon_, nullptr, 0);
  daemon_ = -1;
  EXPECT_TRUE(eventually([] { return processes_named("vorn_mgr") == 0; }, 20)) << "the command process outlived the daemon";
  leave_semaphore_taken();
  ASSERT_EQ(semaphore_value(), 0);
  ASSERT_EQ(set_oad_sensor(kAway, kFirmware, 2, 40), 0);
  std::ofstream("/etc/collector_sim.json") << network(false);

  start_daemon();
  // Only the rebuild from sensorlist can have put the sensor that is off the air in the DeviceList.
  const auto away = device_entry(kAway);
  ASSERT_TRUE(away) << daemon_output();
  EXPECT_EQ(away->short_address, 0x24);
  EXPECT_EQ(away->model_version, "3.0.0.1");
  EXPECT_EQ(away->event_interval, 90);
  const std::string output = daemon_output();
  EXPECT_LT(output.find("Add - DeviceList[0x0024] = 00124B0003000024"), output.find("Create Semphore Success"));

  // The pending download is asked for again (the collector has no such sensor now) and recorded
  // as resumed; nothing else of the record changes.
  EXPECT_TRUE(eventually([] { return daemon_lines("collector: APP_MSP430_OAD_START_REQ for 0024, which is not in the network") == 1; }, 20));
  oad_obj record{};
  ASSERT_EQ(get_oad_sensor(kAway, &record), 1);
  EXPECT_EQ(record.status, 1);
  EXPECT_EQ(record.progress, 40);
  EXPECT_STREQ(record.file, kFirmware);
  free_single_oad_obj(&record);

  // The link is free: every present sensor is answered and identified again.
  EXPECT_TRUE(eventually([] {
    const Json stats = bus_call("collector_sim", "stats");
    return count_of(stats.get(), "Answered", "IdentificationRequest") >= 2 &&
           count_of(stats.get(), "Answered", "DataFrameRequest") >= 2 && daemon_lines(": ConfigRsp: 0x0023") >= 1;
  }, 90)) << json_text(bus_call("collector_sim", "stats").get());
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(60);
  const Json stats = bus_call("collector_sim", "stats");
  EXPECT_EQ(count_of(stats.get(), "Received", "APP_MSP430_OAD_START_REQ"), 1);
  EXPECT_EQ(int_member(stats.get(), "Unreachable"), 1) << "only the download of the sensor that is away";
  EXPECT_EQ(semaphore_value(), 1);
  EXPECT_EQ(sensorlist_sections(), sections) << "the same sensors, the one away included";
  EXPECT_TRUE(only_long_lived_daemon_processes(30)) << processes_named("vorn_mgr") << " processes, not the main and the command process";
  EXPECT_NE(command_process_of(daemon_), 0);
  EXPECT_EQ(zombies(), "");
}

}  // namespace
}  // namespace sim::test
