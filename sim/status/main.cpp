// vorn_status: what the gateway is doing, in one screen.
//
//   vorn_status            the collector, every sensor (addresses, model, firmware, interval,
//                          battery, RSSI, last values with channel names and units, alarms) and
//                          the cloud's reports by type
//   vorn_status --json     the same as one JSON object (for scripts and tests)
//   vorn_status --summary  sensors joined, frames handled, reports by type, alarms
//
// It reads the DeviceList segment, the sensorlist configuration, the shared-memory channels, and
// asks the bus objects collector_sim and cloud_agent; whatever is missing is shown as missing.
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

void print_sensor(const SensorShown &sensor) {
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
  std::printf("%-4s  %-16s  %-12s  %-8s  %-8s  %8s  %6s  %5s  %s\n", address.c_str(), sensor.id.c_str(),
              model.empty() ? "?" : model.c_str(), radio.empty() ? "?" : radio.c_str(),
              firmware.empty() ? "?" : firmware.c_str(), interval, battery, rssi, state);
  std::string line;
  for (const sim::ChannelShown &channel : sensor.channels) {
    if (!line.empty()) line += " | ";
    line += (channel.name.empty() ? "?" : channel.name) + " " + (channel.value.empty() ? "-" : channel.value);
    if (!channel.unit.empty()) line += " " + channel.unit;
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
  print_collector(snapshot);
  std::printf("\n%-4s  %-16s  %-12s  %-8s  %-8s  %8s  %6s  %5s  %s\n", "ADDR", "EXT. ADDRESS", "MODEL", "RADIO FW",
              "FW", "INTERVAL", "BATT", "RSSI", "STATE");
  for (const SensorShown &sensor : snapshot.sensors) print_sensor(sensor);
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

json_object *sensor_json(const SensorShown &sensor) {
  json_object *object = json_object_new_object();
  json_object_object_add(object, "ID", json_object_new_string(sensor.id.c_str()));
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
    json_object_array_add(channels, c);
  }
  json_object_object_add(object, "Channels", channels);
  json_object *reports = json_object_new_object();
  for (const auto &[type, count] : sensor.reports) json_object_object_add(reports, std::to_string(type).c_str(), json_object_new_int64(count));
  json_object_object_add(object, "Reports", reports);
  return object;
}

void print_json(const GatewaySnapshot &snapshot) {
  const sim::Json document(json_object_new_object());
  json_object *sensors = json_object_new_array();
  for (const SensorShown &sensor : snapshot.sensors) json_object_array_add(sensors, sensor_json(sensor));
  json_object_object_add(document.get(), "Sensors", sensors);
  json_object_object_add(document.get(), "Collector", json_object_get(snapshot.collector.get()));
  json_object_object_add(document.get(), "Cloud", json_object_get(snapshot.cloud.get()));
  std::printf("%s\n", sim::json_text(document.get()).c_str());
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc > 2 || (!mode.empty() && mode != "--json" && mode != "--summary")) {
    std::fputs("usage: vorn_status [--json | --summary]\n", stderr);
    return 2;
  }
  const GatewaySnapshot snapshot = sim::take_snapshot();
  if (mode == "--json") print_json(snapshot);
  else if (mode == "--summary") print_summary(snapshot);
  else print_view(snapshot);
  return 0;
}
