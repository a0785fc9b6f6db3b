// The soak: SOAK_SENSORS simulated sensors (default 20, at most 100: the DeviceList holds short
// addresses 1..100) each reporting once a real second (the radio limit for 100 sensors; a third of
// that in a sanitized or emulated build), for SOAK_MINUTES (default 1), with a cloud
// command every 10 s. Then: every frame the collector sent was handled, no zombie, no growth of
// the descriptors or memory of the daemon's long-lived processes, sensorlist holds exactly the
// sensors present, and the cloud log holds the reports the sensors called for. A report of the
// figures is printed, and written to SOAK_REPORT when that names a file.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "gateway_run.h"
#include "process_probe.h"

namespace sim::test {
namespace {

using Clock = std::chrono::steady_clock;

int setting(const char *name, int fallback, int low, int high) {
  const char *text = std::getenv(name);
  const int value = text != nullptr ? std::atoi(text) : fallback;
  return std::clamp(value, low, high);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#if defined(VORN_USER_MODE_EMULATION)
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif
// Real seconds between two reports of a sensor: one at the radio's limit of 100 sensors. A
// sanitized daemon forks sanitized programs for every frame and handles about a third of that;
// under emulation every program the daemon starts (uci above all) is translated afresh.
constexpr int kReportSeconds = kSanitized || kEmulated ? 3 : 1;

// Sensor i: every fourth of the older firmware, every fourth a buffered one whose logged records
// go to the cloud, the others live; all report once a simulated minute, every kReportSeconds.
struct SoakSensor {
  std::string id;
  bool config_style = false;
  bool buffered = false;
};

std::vector<SoakSensor> soak_sensors(int count) {
  std::vector<SoakSensor> sensors;
  for (int i = 1; i <= count; ++i) {
    char id[32];
    std::snprintf(id, sizeof id, "00124B00020000%02X", i);
    sensors.push_back({id, i % 4 == 0, i % 4 == 2});
  }
  return sensors;
}

std::string soak_network(const std::vector<SoakSensor> &sensors) {
  std::string list;
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    char sensor[640];
    std::snprintf(sensor, sizeof sensor,
                  R"(%s{"ExtAddress":"%s","ShortAddress":"%04zX","Style":"%s","Frames":"%s","Records":2,"Logged":true,)"
                  R"("ModelName":"VT-SK%zu","EventInterval":60,"Channels":[{"Name":"Temperature","Type":1,"Unit":"C","Base":%zu},)"
                  R"({"Name":"Humidity","Type":2,"Unit":"%%RH","Base":50,"Amplitude":10,"Period":2400}]})",
                  i == 0 ? "" : ",", sensors[i].id.c_str(), i + 1, sensors[i].config_style ? "config" : "identification",
                  sensors[i].buffered ? "buffered" : "live", i % 7, 15 + i % 10);
    list += sensor;
  }
  return R"({"TimeScale":)" + std::to_string(60 / kReportSeconds) + R"(,"JoinSpacing":0.05,"Sensors":[)" + list + "]}";
}

struct Sample {
  int fds = -1;
  long rss_kb = -1;
};

Sample sample(pid_t pid) { return {descriptor_count(pid), resident_kb(pid)}; }

// What the cloud log holds: reports by sensor and type, logged points by sensor, and the lines that
// are no report of this gateway about a sensor present.
struct CloudLog {
  std::map<std::string, std::map<int, long long>> reports;
  std::map<std::string, long long> logged_points;
  std::vector<std::string> foreign;
};

CloudLog read_cloud_log(const std::set<std::string> &ids, const std::string &gateway) {
  CloudLog log;
  std::istringstream lines(file_text("/tmp/cloud_agent/transmit.log"));
  for (std::string line; std::getline(lines, line);) {
    const Json envelope = parse_json(line);
    const std::string id = string_member(envelope.get(), "ID");
    const long long type = int_member(envelope.get(), "Type", -1);
    if (ids.count(id) == 0 || string_member(envelope.get(), "GatewayID") != gateway || type < 0) {
      log.foreign.push_back(line);
      continue;
    }
    ++log.reports[id][static_cast<int>(type)];
    if (type != 9) continue;
    const Json body = parse_json(string_member(envelope.get(), "Body"));
    for (std::size_t d = 0; body && d < json_object_array_length(body.get()); ++d) {
      json_object *channel = json_object_array_get_idx(member(json_object_array_get_idx(body.get(), d), "Values"), 0);
      json_object *points = member(channel, "Values");
      log.logged_points[id] += points != nullptr ? static_cast<long long>(json_object_array_length(points)) : 0;
    }
  }
  return log;
}

class Soak : public GatewayRun {};

TEST_F(Soak, HundredSensorsAtTheRadioLimitLoseNothingAndLeakNothing) {
  const int minutes = setting("SOAK_MINUTES", 1, 1, 24 * 60);
  const int count = setting("SOAK_SENSORS", 20, 1, 100);
  const std::vector<SoakSensor> sensors = soak_sensors(count);
  std::set<std::string> ids;
  for (const SoakSensor &s : sensors) ids.insert(s.id);
  const auto began = Clock::now();
  start_gateway(soak_network(sensors));
  const std::string gateway = shell("uci -q get gateway.main.register_name").substr(0, 16);

  // Warm-up: every sensor identified and announced to the cloud.
  std::string missing;
  ASSERT_TRUE(eventually([&] {
    const CloudLog log = read_cloud_log(ids, gateway);
    const std::string shown = shell("uci show sensorlist | grep '\\.ModelVersion='");
    missing.clear();
    for (const SoakSensor &s : sensors)
      if (shown.find(s.id) == std::string::npos || log.reports.count(s.id) == 0 || log.reports.at(s.id).count(3) == 0)
        missing += s.id + " ";
    return missing.empty();
  }, 120 + 2 * count)) << "not identified and reported: " << missing;
  // Each command served once before the first sample: its code and buffers are in memory then.
  std::system(R"(ubus send vorn_mgr '{"GetDevList":1}'; ubus send vorn_mgr '{"JoinNetwork_Enable":30}')");
  long long dev_lists = 1, join_permits = 1;
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const auto warmed = Clock::now();
  const pid_t main_process = daemon_;
  const pid_t command_process = command_process_of(daemon_);
  ASSERT_NE(command_process, 0);
  const Sample main_start = sample(daemon_), command_start = sample(command_process);

  // The run: sensors report, the cloud sends a command every 10 s.
  long long most_zombies = 0;
  const auto end = warmed + std::chrono::minutes(minutes);
  for (int tick = 0; Clock::now() < end; ++tick) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string now_zombies = zombies();
    most_zombies = std::max<long long>(most_zombies, std::count(now_zombies.begin(), now_zombies.end(), '\n'));
    ASSERT_GT(resident_kb(daemon_), 0) << "the daemon ended";
    if (tick % 2 != 0) continue;
    if (tick % 4 == 0) {
      std::system(R"(ubus send vorn_mgr '{"GetDevList":1}')");
      ++dev_lists;
    } else {
      std::system(R"(ubus send vorn_mgr '{"JoinNetwork_Enable":30}')");
      ++join_permits;
    }
  }
  const auto ran = Clock::now();
  ASSERT_TRUE(bus_call("collector_sim", "pause"));
  expect_every_frame_handled(300);
  const auto settled = Clock::now();
  const Json stats = bus_call("collector_sim", "stats");
  const Json list = bus_call("collector_sim", "list");
  const Sample main_end = sample(daemon_), command_end = sample(command_process);

  // The long-lived processes: the same ones, no more descriptors, memory within its bound.
  EXPECT_EQ(command_process_of(daemon_), command_process) << "the command process was restarted";
  EXPECT_TRUE(only_long_lived_daemon_processes(30)) << processes_named("vorn_mgr");
  EXPECT_EQ(zombies(), "");
  EXPECT_EQ(main_end.fds, main_start.fds);
  EXPECT_EQ(command_end.fds, command_start.fds);
  // Resident memory may move by a few heap pages with the allocation pattern; a leak of even 64
  // bytes a frame grows it by megabytes over a soak at the radio limit. Under AddressSanitizer the
  // quarantine holds freed memory by design, and LeakSanitizer checks each process at its exit.
  const auto allowed_kb = [](long start) { return std::max<long>(256, start / 20); };
  if (!kSanitized) {
    EXPECT_LE(main_end.rss_kb - main_start.rss_kb, allowed_kb(main_start.rss_kb));
    EXPECT_LE(command_end.rss_kb - command_start.rss_kb, allowed_kb(command_start.rss_kb));
  }

  // The cloud commands all reached the collector.
  EXPECT_EQ(count_of(stats.get(), "Received", "APP_GET_DEVICE_ARRAY_REQ"), dev_lists);
  EXPECT_EQ(count_of(stats.get(), "Received", "APP_SET_JOIN_PERMIT_REQ"), join_permits);
  EXPECT_EQ(daemon_lines("Device number: " + std::to_string(count) + "\n"), static_cast<std::size_t>(dev_lists));
  EXPECT_EQ(daemon_lines("Cloud_Agent not ready"), 0u);
  EXPECT_EQ(daemon_lines("fork failed"), 0u);

  // sensorlist parses and holds exactly the sensors present, each under its own address.
  ASSERT_EQ(std::system("uci show sensorlist >/dev/null"), 0);
  std::multiset<std::string> expected(ids.begin(), ids.end());
  expected.insert("Coprocessor");
  EXPECT_EQ(sensorlist_sections(), expected);
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    char address[20];
    std::snprintf(address, sizeof address, "%04zX", i + 1);
    EXPECT_EQ(sensor_option(sensors[i].id, "ShortAddress"), address);
  }

  // The cloud log: only this gateway's reports of these sensors, each sensor announced, logged
  // data from the buffered ones only, every record a sensor had confirmed among it.
  const CloudLog log = read_cloud_log(ids, gateway);
  EXPECT_TRUE(log.foreign.empty()) << log.foreign.size() << " lines such as " << log.foreign.front();
  long long logged_reports = 0;
  std::map<int, long long> by_type;
  for (const SoakSensor &s : sensors) {
    const auto found = log.reports.find(s.id);
    ASSERT_NE(found, log.reports.end()) << s.id;
    for (int type : {0, 1, 2, 3}) EXPECT_GE(found->second.count(type) ? found->second.at(type) : 0, 1) << s.id << " type " << type;
    for (const auto &[type, n] : found->second) by_type[type] += n;
    EXPECT_EQ(found->second.count(6), 0u) << s.id << ": no channel failed";
    if (!s.buffered) {
      EXPECT_EQ(found->second.count(9), 0u) << s.id;
      continue;
    }
    logged_reports += found->second.count(9) ? found->second.at(9) : 0;
    json_object *records = member(sim_sensor(list.get(), s.id), "Records");
    EXPECT_EQ(int_member(records, "Discarded", -1), 0) << s.id;
    EXPECT_EQ(int_member(records, "Delivered", -1) + int_member(records, "Held"), int_member(records, "Measured", -2)) << s.id;
    EXPECT_GE(log.logged_points.count(s.id) ? log.logged_points.at(s.id) : 0, int_member(records, "Delivered", -1)) << s.id;
  }
  EXPECT_EQ(logged_reports, count_of(stats.get(), "Answered", "DataFrameRequest")) << "one logged report per answered request";

  stop_program(daemon_);
  EXPECT_EQ(daemon_output().find("Sanitizer"), std::string::npos) << "a report at the daemon's exit";

  // The figures.
  const auto seconds = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); };
  std::ostringstream report;
  long long handled = 0;
  report << "soak: " << count << " sensors reporting every " << kReportSeconds << " s, " << minutes << " min measured after a " << seconds(warmed - began)
         << " s warm-up, " << seconds(settled - ran) << " s to handle the last frames; " << seconds(settled - began)
         << " s in all\nframes the collector sent (every one handled):\n";
  for_each_member(member(stats.get(), "Sent"), [&](const char *kind, json_object *n) {
    report << "  " << kind << std::string(34 - std::min<std::size_t>(33, std::strlen(kind)), ' ') << json_object_get_int64(n) << "\n";
    if (std::string(kind).rfind("APP_", 0) == 0) handled += json_object_get_int64(n);
  });
  report << "  link frames in all: " << handled << " (" << handled / std::max<long long>(1, seconds(settled - began))
         << " a second on average)\ncloud commands: " << dev_lists << " GetDevList, " << join_permits
         << " JoinNetwork_Enable\nmain process " << main_process << ": descriptors " << main_start.fds << " -> " << main_end.fds
         << ", VmRSS " << main_start.rss_kb << " -> " << main_end.rss_kb << " kB\ncommand process " << command_process
         << ": descriptors " << command_start.fds << " -> " << command_end.fds << ", VmRSS " << command_start.rss_kb
         << " -> " << command_end.rss_kb << " kB" << (kSanitized ? " (AddressSanitizer build: memory not judged)" : "")
         << "\ncloud reports:";
  for (const auto &[type, n] : by_type) report << " type " << type << ": " << n << ";";
  const std::string last_zombies = zombies();
  report << "\nzombies: at most " << most_zombies << " at a sample during the run, "
         << std::count(last_zombies.begin(), last_zombies.end(), '\n') << " at the end\n";
  std::printf("%s", report.str().c_str());
  if (const char *path = std::getenv("SOAK_REPORT")) std::ofstream(path) << report.str();
}

}  // namespace
}  // namespace sim::test
