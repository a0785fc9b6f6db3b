// The programs around the daemon fail and come back while sensors report: the collector is killed,
// the cloud agent goes away, the bus daemon restarts. The daemon reconnects, keeps handling every
// frame, and serves the cloud again once it is back.
#include <set>

#include "gateway_records.h"
#include "gateway_run.h"
#include "process_probe.h"

namespace sim::test {
namespace {

constexpr const char *kLive = "00124B0003000031";
constexpr const char *kBuffered = "00124B0003000032";
constexpr const char *kConfig = "00124B0003000033";

// A live and a buffered sensor of the later firmware and one of the older; the buffered one holds
// a record every 4 real seconds, eight at most.
std::string network(bool with_buffered = true) {
  return std::string(R"({"TimeScale":30,"Sensors":[)") +
         R"({"ExtAddress":"00124B0003000031","ShortAddress":"0031","ModelName":"VT-PR1","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"},{"Name":"Humidity","Type":2,"Unit":"%RH"}]},)" +
         (with_buffered ? R"({"ExtAddress":"00124B0003000032","ShortAddress":"0032","ModelName":"VT-PR2","Frames":"buffered","Records":1,"Logged":true,"EventInterval":120,"Channels":[{"Name":"Pressure","Type":3,"Unit":"kPa"}]},)"
                        : "") +
         R"({"ExtAddress":"00124B0003000033","ShortAddress":"0033","Style":"config","ModelName":"VS-PR3","Channels":[{"Name":"CO2","Type":5,"Unit":"ppm"}]}]})";
}

bool identified(std::initializer_list<const char *> ids) {
  for (const char *id : ids)
    if (sensor_option(id, "ModelVersion").empty() || reports_of(id, 0) < 1) return false;
  return true;
}

std::size_t transmitted() { return occurrences(file_text("/tmp/cloud_agent/transmit.log"), "\n"); }

class PeerRestarts : public GatewayRun {};

TEST_F(PeerRestarts, KilledCollectorIsStartedAgainAndEveryFrameAfterwardsIsHandled) {
  start_gateway(network());
  ASSERT_TRUE(eventually([] { return identified({kLive, kBuffered, kConfig}); }, 120)) << shell("uci show sensorlist");
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(60);
  const pid_t command_process = command_process_of(daemon_);
  const int descriptors = descriptor_count(daemon_);
  const std::size_t from = daemon_output().size();
  ASSERT_EQ(std::system("killall -9 collector"), 0);

  // The daemon finds the link gone, starts a collector (the dead one left its ready file) and
  // connects again; the new network joins and reports.
  EXPECT_TRUE(eventually([&] { return daemon_lines("Get Network Info:\n", from) == 1; }, 90)) << daemon_output(from);
  // (A connection can still be taken into the dying collector's backlog and be reset: then the
  // daemon finds the link closed twice.)
  EXPECT_GE(daemon_lines("The collector closed the link, reconnecting..\n", from), 1u);
  EXPECT_EQ(processes_named("collector"), 1u);
  EXPECT_TRUE(eventually([&] {
    const Json stats = bus_call("collector_sim", "stats");
    return count_of(stats.get(), "Answered", "IdentificationRequest") >= 1 &&
           count_of(stats.get(), "Answered", "DataFrameRequest") >= 2 && count_of(stats.get(), "Sent", "SensorData") >= 10;
  }, 120)) << json_text(bus_call("collector_sim", "stats").get());
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(60, from);
  EXPECT_EQ(command_process_of(daemon_), command_process) << "the command process was not touched";
  EXPECT_EQ(descriptor_count(daemon_), descriptors) << "the old link was closed";
  EXPECT_EQ(zombies(), "");
}

// While the agent is away nothing is reported and nothing is queued: live values are not
// published, a buffered sensor's Data Frame Requests go unanswered so the sensor keeps its records,
// and a channel alarm stays pending. Once the agent is back the records, the alarm and the live
// values follow. At start-up the daemon waits for the agent before it starts anything.
TEST_F(PeerRestarts, CloudAgentAwayDelaysReportsAndLosesNoFrameOrRecord) {
  std::ofstream("/etc/collector_sim.json") << network();
  std::system("rm -rf /tmp/cloud_agent");  // the reports of the test before
  start_daemon(false);
  EXPECT_TRUE(eventually([] { return daemon_lines("Cloud_Agent not ready, Waiting...\n") >= 2; }, 30));
  EXPECT_EQ(processes_named("collector"), 0u) << "nothing starts before the agent answers";
  start_agent();
  ASSERT_TRUE(eventually([] { return daemon_lines("Get Network Info:\n") == 1; }, 60)) << daemon_output();
  ASSERT_TRUE(eventually([] { return identified({kLive, kBuffered, kConfig}) && !logged_record_times(kBuffered).empty(); }, 120));

  // Counted once the agent has ended and the handlers then under way (which found it ready and may
  // still write a live value) have ended too, but for those holding answered records: they wait
  // for the agent, and say so.
  const std::size_t stopped = daemon_output().size();
  ASSERT_EQ(WEXITSTATUS(stop_program(agent_)), 0);
  std::vector<pid_t> under_way;
  const pid_t command_process = command_process_of(daemon_);
  for (const ProcessInfo &p : all_processes())
    if (p.name == "vorn_mgr" && p.state != 'Z' && p.pid != daemon_ && p.pid != command_process) under_way.push_back(p.pid);
  EXPECT_TRUE(eventually([&] {
    std::size_t alive = 0;
    for (pid_t pid : under_way)
      if (const auto info = process_info(pid); info && info->state != 'Z' && info->name == "vorn_mgr") ++alive;
    return alive <= daemon_lines("answered: waiting for Cloud_Agent\n", stopped);
  }, 30));
  const std::size_t reports_before = transmitted();
  const std::string live_before = shell(std::string("shmchan get ") + kLive);
  const std::size_t away = daemon_output().size();
  ASSERT_TRUE(bus_call("collector_sim", "fail", std::string(R"({"ID":")") + kLive + R"(","Channel":1,"Code":1})"));
  // Frames keep coming and are handled; nothing reaches the cloud or the live channel.
  EXPECT_TRUE(eventually([&] { return daemon_lines(": Sensor 0x0031", away) >= 4 && daemon_lines(": Sensor 0x0033", away) >= 4; }, 30));
  EXPECT_GE(daemon_lines("Cloud_Agent not ready, Waiting...\n", away), 8u);
  EXPECT_EQ(transmitted(), reports_before);
  EXPECT_EQ(shell(std::string("shmchan get ") + kLive), live_before) << "live values wait for the agent too";
  EXPECT_TRUE(eventually([] {
    const Json list = bus_call("collector_sim", "list");
    return int_member(member(sim_sensor(list.get(), kBuffered), "Records"), "Held") >= 2;
  }, 20)) << "unanswered, so kept";

  start_agent();
  EXPECT_TRUE(eventually([] { return reports_of(kLive, 6) == 1; }, 60)) << "the alarm raised while the agent was away";
  EXPECT_TRUE(eventually([&] { return shell(std::string("shmchan get ") + kLive) != live_before; }, 30));
  ASSERT_TRUE(eventually([] {
    const Json list = bus_call("collector_sim", "list");
    return int_member(member(sim_sensor(list.get(), kBuffered), "Records"), "Held", -1) == 0;
  }, 60));
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  // Data Frame Requests made while the agent was away are unanswered by design: their records are
  // counted instead. Every record the sensor measured reached the cloud once it was confirmed.
  expect_every_frame_handled(60, 0, {"DataFrameRequest"});
  const Json list = bus_call("collector_sim", "list");
  json_object *records = member(sim_sensor(list.get(), kBuffered), "Records");
  EXPECT_EQ(int_member(records, "Discarded", -1), 0);
  EXPECT_EQ(int_member(records, "Delivered", -1), int_member(records, "Measured", -2) - int_member(records, "Held"));
  // (A handler that answered records as the agent left sends them within 3 s of its return.)
  EXPECT_TRUE(eventually([&] {
    return static_cast<long long>(logged_record_times(kBuffered).size()) == int_member(records, "Delivered", -1);
  }, 30)) << "each delivered record is in the cloud once";
  EXPECT_EQ(reports_of(kLive, 6), 1) << "one alarm however long the channel stays failed";
}

// The bus daemon restarts: the command process loses its connection, ends, and is started again
// (once a second at most) until the bus is back; then cloud commands work again. Frames are handled
// throughout; reports resume once the cloud agent is on the new bus.
TEST_F(PeerRestarts, BusRestartEndsTheCommandProcessWhichComesBackAndServesCommands) {
  start_gateway(network(false));
  ASSERT_TRUE(eventually([] { return identified({kLive, kConfig}); }, 120)) << shell("uci show sensorlist");
  std::system(R"(ubus send vorn_mgr '{"SetEventTimer":"00124B0003000031","TimeBase":"90"}')");
  EXPECT_TRUE(eventually([] { return sensor_option(kLive, "EventIntervalUserWanted") == "90"; }, 30));
  const pid_t first_command_process = command_process_of(daemon_);

  const std::size_t from = daemon_output().size();
  ASSERT_EQ(std::system("killall ubusd"), 0);
  ASSERT_TRUE(eventually([] { return processes_named("ubusd") == 0; }, 10));
  std::this_thread::sleep_for(std::chrono::seconds(6));
  const std::size_t restarts = daemon_lines("Command process restarted as ", from);
  EXPECT_GE(daemon_lines("The command process found no bus connection\n", from), 3u) << daemon_output(from);
  EXPECT_LE(restarts, 8u) << "at most one restart a second";
  // The sensor reports every 3 real seconds at its new interval: wait for two frames, not a window.
  EXPECT_TRUE(eventually([&] { return daemon_lines(": Sensor 0x0031", from) >= 2u; }, 30)) << "frames are still handled";

  pid_t bus = start_program({"/usr/sbin/ubusd"}, "/tmp/ubusd.restarted.log");
  ASSERT_TRUE(eventually([] { return std::system("ubus list >/dev/null 2>&1") == 0; }, 10));
  stop_program(agent_);  // it ended with its bus; the router's service manager starts it again
  start_agent();
  EXPECT_TRUE(eventually([&] { return daemon_lines("connected as ", from) == 1; }, 30)) << daemon_output(from);
  const pid_t command_process = command_process_of(daemon_);
  EXPECT_NE(command_process, first_command_process);
  std::system(R"(ubus send vorn_mgr '{"SetEventTimer":"00124B0003000033","TimeBase":"150"}')");
  EXPECT_TRUE(eventually([] { return sensor_option(kConfig, "EventIntervalUserWanted") == "150"; }, 30));
  EXPECT_TRUE(eventually([] {
    const Json list = bus_call("collector_sim", "list");
    return int_member(sim_sensor(list.get(), kConfig), "EventInterval") == 150;
  }, 60)) << "the command reached the sensor";
  ASSERT_TRUE(bus_call("collector_sim", "fail", std::string(R"({"ID":")") + kConfig + R"(","Channel":0,"Code":1})"));
  EXPECT_TRUE(eventually([] { return reports_of(kConfig, 6) == 1; }, 60)) << "reports go out on the new bus";

  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(60);
  EXPECT_EQ(command_process_of(daemon_), command_process) << "one restart per loss, then it stays";
  EXPECT_TRUE(only_long_lived_daemon_processes(30)) << processes_named("vorn_mgr");
  EXPECT_EQ(zombies(), "");
  stop_program(daemon_);
  stop_program(agent_);
  stop_program(bus);
}

}  // namespace
}  // namespace sim::test
