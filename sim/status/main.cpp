// vorn_status: what the gateway is doing, in one screen.
//
//   vorn_status            the daemon, the collector, every sensor (addresses, model, firmware,
//                          interval, battery, RSSI, last seen, availability, last values with
//                          channel names and units, stale values and alarms) and the cloud's
//                          reports by type
//   vorn_status --json     the same as one JSON object (for scripts and tests)
//   vorn_status --summary  sensors joined, frames handled, reports by type, alarms
//
// It reads the DeviceList segment, the sensorlist configuration, the shared-memory channels, and
// asks the bus objects vorn_mgr, collector_sim and cloud_agent; whatever is missing is shown as
// missing.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "gateway_snapshot.h"

namespace {

using sim::GatewaySnapshot;
using sim::SensorShown;

std::string option(const SensorShown &sensor, const char *name) {
  auto it = sensor.options.find(name);
  return it == sensor.options.end() ? "" : it->second;
}

long long collector_count(const GatewaySnapshot &snapshot, const char *group, const char *kind) {
  return sim::int_member(sim::member(snapshot.collector.get(), group), kind, 0);
}

std::string hms(long long seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lldh%02lldm%02llds", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

void print_collector(const GatewaySnapshot &snapshot) {
  json_object *stats = snapshot.collector.get();
  if (stats == nullptr) {
    std::printf("collector   not answering on the bus (collector_sim)\n");
    return;
  }
  std::printf("collector   %s, %lld sensors joined, simulated time %s, coprocessor %s %s\n",
              sim::string_member(stats, "State").c_str(), sim::int_member(stats, "Joined"),
              hms(sim::int_member(stats, "SimulatedSeconds")).c_str(),
              snapshot.coprocessor.count("ModelName") ? snapshot.coprocessor.at("ModelName").c_str() : "?",
              snapshot.coprocessor.count("ModelVersion") ? snapshot.coprocessor.at("ModelVersion").c_str() : "");
}

constexpr const char *kUsage =
    "usage: vorn_status [--json | --summary | --help]\n"
    "The gateway at a glance: the daemon (from its vorn_mgr status object), the collector, every\n"
    "sensor with its addresses, model, firmware, interval, battery, RSSI, last seen, availability\n"
    "(online until 3 missed intervals or a not-active indication) and last values (\"stale\" when\n"
    "older than the sensor's interval), and the reports the cloud received by type.\n"
    "  --json     the same as one JSON object\n"
    "  --summary  sensors joined, frames handled, reports by type, alarms\n";

std::string last_seen_text(long long last_seen, long long now) {
  if (last_seen <= 0) return "-";
  const long long age = now > last_seen ? now - last_seen : 0;
  char text[32];
  if (age < 120) std::snprintf(text, sizeof text, "%llds ago", age);
  else if (age < 7200) std::snprintf(text, sizeof text, "%lldm ago", age / 60);
  else std::snprintf(text, sizeof text, "%lldh ago", age / 3600);
  return text;
}

void print_daemon(const GatewaySnapshot &snapshot) {
  json_object *status = snapshot.daemon.get();
  if (status == nullptr) {
    std::printf("daemon      no status object on the bus (vorn_mgr)\n");
    return;
  }
  long long frames = 0;
  sim::for_each_member(sim::member(status, "frames"), [&](const char *kind, json_object *count) {
    if (std::strcmp(kind, "rejected") != 0) frames += json_object_get_int64(count);
  });
  json_object *collector = sim::member(status, "collector");
  json_object *reports = sim::member(status, "reports");
  std::printf("daemon      vorn_mgr %s up %s, link %s (%lld reconnects), %lld frames handled, %lld rejected, "
              "%lld handlers, reports %lld made %lld failed, TXQ %lld free, %lld command restarts\n",
              sim::string_member(status, "version").c_str(), hms(sim::int_member(status, "uptime")).c_str(),
              sim::string_member(collector, "link", "?").c_str(), sim::int_member(collector, "reconnects"), frames,
              sim::int_member(sim::member(status, "frames"), "rejected"), sim::int_member(status, "handlers"),
              sim::int_member(reports, "made"), sim::int_member(reports, "failed"), sim::int_member(status, "txq_free"),
              sim::int_member(status, "command_restarts"));
}

void print_sensor(const SensorShown &sensor, long long now) {
  char interval[16] = "-", battery[16] = "-", rssi[16] = "-";
  std::string model = option(sensor, "ModelName"), radio = option(sensor, "ModelVersion"),
              firmware = option(sensor, "SensorVersion"), address = option(sensor, "ShortAddress");
  const char *state = "in sensorlist only";
  if (sensor.entry) {
    const sim::DeviceEntry &e = *sensor.entry;
    if (!e.model_number.empty()) model = e.model_number;
    if (!e.model_version.empty()) radio = e.model_version;
    if (!e.sensor_version.empty()) firmware = e.sensor_version;
    char text[8];
    std::snprintf(text, sizeof text, "%04X", e.short_address);
    address = text;
    if (e.event_interval > 0) std::snprintf(interval, sizeof interval, "%ds", e.event_interval);
    if (e.power_source != 0) std::snprintf(battery, sizeof battery, "%.1fV", e.battery);
    if (e.rssi != 0) std::snprintf(rssi, sizeof rssi, "%d", e.rssi);
    state = e.report_state == 0 ? "joined" : "reported";
  }
  if (radio.empty()) state = sensor.entry ? "joined, not identified" : state;
  std::printf("%-4s  %-16s  %-12s  %-8s  %-8s  %8s  %6s  %5s  %-9s  %-7s  %s\n", address.c_str(), sensor.id.c_str(),
              model.empty() ? "?" : model.c_str(), radio.empty() ? "?" : radio.c_str(),
              firmware.empty() ? "?" : firmware.c_str(), interval, battery, rssi,
              last_seen_text(sensor.last_seen, now).c_str(),
              sensor.availability.empty() ? "?" : sensor.availability.c_str(), state);
  const int every = sensor.entry ? sensor.entry->event_interval : 0;
  std::string line;
  for (const sim::ChannelShown &channel : sensor.channels) {
    if (!line.empty()) line += " | ";
    line += (channel.name.empty() ? "?" : channel.name) + " " + (channel.value.empty() ? "-" : channel.value);
    if (!channel.unit.empty()) line += " " + channel.unit;
    if (!channel.value.empty() && sim::value_is_stale(channel.measured, every, now)) line += " (stale)";
    if (channel.alarm) line += " [ALARM]";
  }
  if (!line.empty()) std::printf("      %s\n", line.c_str());
  auto alarms = sensor.reports.find(6);
  if (alarms != sensor.reports.end()) std::printf("      cloud alarm reports: %lld\n", alarms->second);
}

void print_cloud(const GatewaySnapshot &snapshot) {
  json_object *types = sim::member(snapshot.cloud.get(), "Types");
  if (types == nullptr) {
    std::printf("cloud       not answering on the bus (cloud_agent)\n");
    return;
  }
  std::string line;
  sim::for_each_member(types, [&](const char *type, json_object *count) {
    if (!line.empty()) line += ", ";
    line += std::string(sim::report_type_name(std::atoi(type))) + " " + json_object_get_string(count);
  });
  std::printf("cloud       %lld reports received: %s\n", sim::int_member(snapshot.cloud.get(), "Total"),
              line.empty() ? "none yet" : line.c_str());
}

void print_view(const GatewaySnapshot &snapshot) {
  char now[32];
  const std::time_t t = std::time(nullptr);
  std::strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
  std::printf("vorn_status %s%s\n", now, snapshot.device_list_present ? "" : "   (no DeviceList: vorn_mgr not running)");
  print_daemon(snapshot);
  print_collector(snapshot);
  std::printf("\n%-4s  %-16s  %-12s  %-8s  %-8s  %8s  %6s  %5s  %-9s  %-7s  %s\n", "ADDR", "EXT. ADDRESS", "MODEL",
              "RADIO FW", "FW", "INTERVAL", "BATT", "RSSI", "LAST SEEN", "AVAIL", "STATE");
  for (const SensorShown &sensor : snapshot.sensors) print_sensor(sensor, t);
  std::printf("\n");
  print_cloud(snapshot);
}

void print_summary(const GatewaySnapshot &snapshot) {
  std::size_t identified = 0, alarms = 0;
  for (const SensorShown &sensor : snapshot.sensors) {
    identified += !option(sensor, "ModelVersion").empty();
    auto it = sensor.reports.find(6);
    alarms += it == sensor.reports.end() ? 0 : static_cast<std::size_t>(it->second);
  }
  std::printf("Summary\n");
  std::printf("  sensors joined:      %lld (in sensorlist now: %zu, identified: %zu)\n",
              collector_count(snapshot, "Sent", "APP_DEVICE_JOINED_IND"), snapshot.sensors.size(), identified);
  std::printf("  frames sent by the collector:\n");
  sim::for_each_member(sim::member(snapshot.collector.get(), "Sent"), [](const char *kind, json_object *count) {
    std::printf("    %-32s %s\n", kind, json_object_get_string(count));
  });
  std::printf("  sensor requests the gateway answered:\n");
  sim::for_each_member(sim::member(snapshot.collector.get(), "Answered"), [](const char *request, json_object *count) {
    std::printf("    %-32s %s\n", request, json_object_get_string(count));
  });
  std::printf("  frames received by the collector: ");
  long long received = 0;
  sim::for_each_member(sim::member(snapshot.collector.get(), "Received"),
                       [&](const char *, json_object *count) { received += json_object_get_int64(count); });
  std::printf("%lld\n", received);
  print_cloud(snapshot);
  std::printf("  alarm reports:       %zu\n", alarms);
}

json_object *sensor_json(const SensorShown &sensor, long long now) {
  json_object *object = json_object_new_object();
  json_object_object_add(object, "ID", json_object_new_string(sensor.id.c_str()));
  json_object_object_add(object, "LastSeen", json_object_new_int64(sensor.last_seen));
  json_object_object_add(object, "Availability",
                         json_object_new_string(sensor.availability.empty() ? "unknown" : sensor.availability.c_str()));
  const int every = sensor.entry ? sensor.entry->event_interval : 0;
  json_object *options = json_object_new_object();
  for (const auto &[name, value] : sensor.options) json_object_object_add(options, name.c_str(), json_object_new_string(value.c_str()));
  json_object_object_add(object, "Sensorlist", options);
  if (sensor.entry) {
    const sim::DeviceEntry &e = *sensor.entry;
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "ShortAddress", json_object_new_int(e.short_address));
    json_object_object_add(entry, "ModelNumber", json_object_new_string(e.model_number.c_str()));
    json_object_object_add(entry, "ModelVersion", json_object_new_string(e.model_version.c_str()));
    json_object_object_add(entry, "SensorVersion", json_object_new_string(e.sensor_version.c_str()));
    json_object_object_add(entry, "EventInterval", json_object_new_int(e.event_interval));
    json_object_object_add(entry, "Battery", json_object_new_double(e.battery));
    json_object_object_add(entry, "RSSI", json_object_new_int(e.rssi));
    json_object_object_add(entry, "ReportState", json_object_new_int(e.report_state));
    json_object_object_add(entry, "ChannelCount", json_object_new_int(e.channel_count));
    json_object_object_add(object, "DeviceList", entry);
  }
  json_object *channels = json_object_new_array();
  for (const sim::ChannelShown &channel : sensor.channels) {
    json_object *c = json_object_new_object();
    json_object_object_add(c, "Name", json_object_new_string(channel.name.c_str()));
    json_object_object_add(c, "Unit", json_object_new_string(channel.unit.c_str()));
    json_object_object_add(c, "Value", json_object_new_string(channel.value.c_str()));
    json_object_object_add(c, "Alarm", json_object_new_boolean(channel.alarm));
    json_object_object_add(c, "Measured", json_object_new_int64(channel.measured));
    json_object_object_add(c, "Stale", json_object_new_boolean(!channel.value.empty() &&
                                                               sim::value_is_stale(channel.measured, every, now)));
    json_object_array_add(channels, c);
  }
  json_object_object_add(object, "Channels", channels);
  json_object *reports = json_object_new_object();
  for (const auto &[type, count] : sensor.reports) json_object_object_add(reports, std::to_string(type).c_str(), json_object_new_int64(count));
  json_object_object_add(object, "Reports", reports);
  json_object *named = json_object_new_object();
  for (const auto &[type, count] : sensor.reports)
    json_object_object_add(named, sim::report_type_name(type), json_object_new_int64(count));
  json_object_object_add(object, "ReportsByName", named);
  return object;
}

void print_json(const GatewaySnapshot &snapshot) {
  const sim::Json document(json_object_new_object());
  json_object *sensors = json_object_new_array();
  const long long now = std::time(nullptr);
  for (const SensorShown &sensor : snapshot.sensors) json_object_array_add(sensors, sensor_json(sensor, now));
  json_object_object_add(document.get(), "Sensors", sensors);
  json_object_object_add(document.get(), "Collector", json_object_get(snapshot.collector.get()));
  json_object_object_add(document.get(), "Cloud", json_object_get(snapshot.cloud.get()));
  json_object_object_add(document.get(), "Daemon", json_object_get(snapshot.daemon.get()));
  std::printf("%s\n", sim::json_text(document.get()).c_str());
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc == 2 && (mode == "--help" || mode == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 2 || (!mode.empty() && mode != "--json" && mode != "--summary")) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const GatewaySnapshot snapshot = sim::take_snapshot();
  if (mode == "--json") print_json(snapshot);
  else if (mode == "--summary") print_summary(snapshot);
  else print_view(snapshot);
  return 0;
}
