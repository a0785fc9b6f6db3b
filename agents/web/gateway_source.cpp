#include "gateway_source.h"

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
}
#include <unistd.h>

#include <cstdio>
#include <csignal>
#include <cstdlib>

#include "api_params.h"
#include "common/bus_json.h"
#include "common/device_list.h"
#include "live_values.h"

namespace web {

namespace {

constexpr int kBusTimeoutMs = 1500;

std::string command_output(const char *command) {
  std::string output;
  FILE *pipe = popen(command, "re");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0 && output.size() < (1u << 20)) output.append(buffer, got);
  pclose(pipe);
  return output;
}

const char *report_state_text(int state) {
  switch (state) {
    case 0: return "none";
    case 1: return "reported";
    default: return "changed";
  }
}

std::string option(const std::map<std::string, std::string> &options, const char *name) {
  auto it = options.find(name);
  return it == options.end() ? "" : it->second;
}

// The sensor as the daemon's bus object describes it.
SensorView sensor_from_bus(json_object *object) {
  SensorView sensor;
  sensor.id = sensor_id_param(string_member(object, "id").c_str()).value_or("");
  sensor.short_address = string_member(object, "short");
  sensor.model = string_member(object, "model");
  sensor.firmware = string_member(object, "firmware");
  sensor.interval = static_cast<int>(int_member(object, "interval"));
  sensor.battery = number_member(object, "battery");
  sensor.rssi = static_cast<int>(int_member(object, "rssi"));
  sensor.last_seen = int_member(object, "last_seen");
  sensor.report_state = string_member(object, "report_state");
  const std::string availability = string_member(object, "availability");
  if (availability == "online" || availability == "offline") sensor.availability = availability;
  return sensor;
}

void merge_entry(SensorView &sensor, const agents::DeviceEntry &entry, bool from_bus) {
  sensor.in_device_list = true;
  sensor.name = entry.device_name;
  if (!from_bus) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", entry.short_address);
    sensor.short_address = text;
    sensor.model = !entry.model_name.empty() ? entry.model_name : entry.model_number;
    sensor.firmware = entry.sensor_version;
    sensor.interval = entry.event_interval;
    sensor.battery = entry.power_source != 0 ? entry.battery : 0;
    sensor.rssi = entry.rssi;
    sensor.report_state = report_state_text(entry.report_state);
  }
  sensor.channels.resize(entry.channel_count);
  for (std::size_t i = 0; i < sensor.channels.size(); ++i) {
    sensor.channels[i].unit = entry.channel_units[i];
    sensor.channels[i].alarm = entry.channel_alarm[i] != 0;
  }
}

void merge_channels(SensorView &sensor) {
  const std::vector<ChannelMeta> meta = parse_channel_meta(read_channel(sensor.id + "_meta"));
  if (sensor.channels.size() < meta.size()) sensor.channels.resize(meta.size());
  for (std::size_t i = 0; i < meta.size(); ++i) {
    sensor.channels[i].name = meta[i].name;
    if (!meta[i].unit.empty()) sensor.channels[i].unit = meta[i].unit;
  }
  sensor.logged = read_channel(sensor.id + "_log");
  sensor.logged_reading = parse_live_reading(sensor.logged);
  if (!sensor.logged_reading) sensor.logged.clear();
  if (sensor.logged_reading && sensor.channels.size() < sensor.logged_reading->channels.size())
    sensor.channels.resize(sensor.logged_reading->channels.size());
  for (std::size_t i = 0; sensor.logged_reading && i < sensor.logged_reading->channels.size(); ++i)
    if (sensor.channels[i].name.empty()) sensor.channels[i].name = sensor.logged_reading->channels[i].name;
  sensor.reading = read_channel(sensor.id);
  const auto reading = parse_live_reading(sensor.reading);
  if (!reading) {
    sensor.reading.clear();
    return;
  }
  sensor.reading_time_ms = reading->base_time_ms;
  if (sensor.channels.size() < reading->channels.size()) sensor.channels.resize(reading->channels.size());
  for (std::size_t i = 0; i < reading->channels.size(); ++i) {
    ChannelView &channel = sensor.channels[i];
    if (channel.name.empty()) channel.name = reading->channels[i].name;
    channel.value = reading->channels[i].value;
    // A channel in error publishes "NaN"; the DeviceList's alarm flag may not be set yet.
    if (!channel.value) channel.alarm = true;
  }
}

// The status when the daemon's object does not answer: what the DeviceList, sensorlist, the
// platform settings and the collector's ready file show.
Json fallback_status(std::size_t in_device_list, std::size_t in_sensorlist) {
  Json status(json_object_new_object());
  const std::string gateway = command_output("uci -q get gateway.main.register_name 2>/dev/null");
  json_object_object_add(status.get(), "gateway_id",
                         json_object_new_string(gateway.substr(0, gateway.find('\n')).c_str()));
  json_object *collector = json_object_new_object();
  // Only the daemon knows how its collector is: without it, that is not known.
  json_object_object_add(collector, "state", json_object_new_string("unknown"));
  json_object_object_add(collector, "ready_file", json_object_new_boolean(access("/tmp/collector_ready", F_OK) == 0));
  json_object_object_add(status.get(), "collector", collector);
  json_object *sensors = json_object_new_object();
  json_object_object_add(sensors, "device_list", json_object_new_int64(static_cast<std::int64_t>(in_device_list)));
  json_object_object_add(sensors, "sensorlist", json_object_new_int64(static_cast<std::int64_t>(in_sensorlist)));
  json_object_object_add(sensors, "limit", json_object_new_int(100));
  json_object_object_add(status.get(), "sensors", sensors);
  return status;
}

}  // namespace

std::map<std::string, std::map<std::string, std::string>> parse_uci_show(const std::string &text) {
  std::map<std::string, std::map<std::string, std::string>> sections;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t at = line.find('@'), equals = line.find('=');
    if (at == std::string::npos || equals == std::string::npos || at > equals) continue;
    const std::size_t bracket = line.find('[', at);
    if (bracket == std::string::npos || bracket > equals) continue;
    auto &options = sections[line.substr(at + 1, bracket - at - 1)];
    const std::size_t dot = line.find("].", bracket);
    if (dot == std::string::npos || dot > equals) continue;  // the section's own line
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') value = value.substr(1, value.size() - 2);
    options[line.substr(dot + 2, equals - dot - 2)] = value;
  }
  return sections;
}

GatewaySource::GatewaySource() {
  uloop_init();
  // The router's uloop_init catches SIGCHLD without SA_RESTART and reaps every child, which would
  // cut the configuration reads done through popen; the page watches no child through the loop.
  ::signal(SIGCHLD, SIG_DFL);
}

GatewaySource::~GatewaySource() {
  if (bus_ != nullptr) ubus_free(bus_);
  uloop_done();
}

bool GatewaySource::connect() {
  if (bus_ == nullptr) bus_ = ubus_connect(nullptr);
  return bus_ != nullptr;
}

int GatewaySource::send_command(const std::string &event) {
  if (!connect()) return UBUS_STATUS_CONNECTION_FAILED;
  return agents::send_event(bus_, "vorn_mgr", event);
}

std::string GatewaySource::sensorlist_option(const std::string &id, const std::string &option) {
  const std::string text = command_output(("uci -q get sensorlist.@" + id + "[]." + option + " 2>/dev/null").c_str());
  return text.substr(0, text.find('\n'));
}

Json GatewaySource::call(const char *method) {
  if (!connect()) return nullptr;
  int status = UBUS_STATUS_OK;
  Json reply = agents::call_json(bus_, "vorn_mgr", method, "", kBusTimeoutMs, &status);
  // A bus daemon that went away (or came back) needs a new connection; a missing object does not.
  if (status == UBUS_STATUS_CONNECTION_FAILED) {
    ubus_free(bus_);
    bus_ = nullptr;
  }
  return status == UBUS_STATUS_OK ? std::move(reply) : nullptr;
}

GatewayReading GatewaySource::read() {
  GatewayReading reading;
  Json status = call("status");
  Json sensors = status != nullptr ? call("sensors") : nullptr;
  json_object *list = member(sensors.get(), "sensors");
  reading.from_bus = status != nullptr && list != nullptr && json_object_is_type(list, json_type_array);

  std::map<std::string, SensorView> by_id;
  std::vector<std::string> order;
  auto add = [&](SensorView sensor) -> SensorView & {
    auto [it, fresh] = by_id.emplace(sensor.id, std::move(sensor));
    if (fresh) order.push_back(it->first);
    return it->second;
  };
  if (reading.from_bus) {
    for (std::size_t i = 0; i < json_object_array_length(list); ++i) {
      SensorView sensor = sensor_from_bus(json_object_array_get_idx(list, i));
      if (!sensor.id.empty()) add(std::move(sensor));
    }
  }
  const auto entries = agents::read_device_list();
  for (const agents::DeviceEntry &entry : entries.value_or(std::vector<agents::DeviceEntry>{})) {
    if (reading.from_bus && by_id.count(entry.ext_address) == 0) continue;  // the daemon's list is the list
    SensorView fresh;
    fresh.id = entry.ext_address;
    merge_entry(add(std::move(fresh)), entry, reading.from_bus);
  }
  std::size_t in_sensorlist = 0;
  if (!reading.from_bus) {
    for (auto &[type, options] : parse_uci_show(command_output("uci -q show sensorlist 2>/dev/null"))) {
      const auto id = sensor_id_param(type.c_str());
      if (!id) continue;  // the Coprocessor section
      ++in_sensorlist;
      if (by_id.count(*id) != 0) continue;
      SensorView sensor;  // known, but not in the DeviceList: not on the network now
      sensor.id = *id;
      sensor.short_address = option(options, "ShortAddress");
      sensor.model = option(options, "ModelName");
      sensor.firmware = option(options, "SensorVersion");
      sensor.interval = std::atoi(option(options, "EventInterval").c_str());
      sensor.name = option(options, "DeviceName");
      sensor.report_state = "none";
      add(std::move(sensor));
    }
  }
  for (const std::string &id : order) {
    merge_channels(by_id[id]);
    reading.sensors.push_back(std::move(by_id[id]));
  }
  reading.bus = reading.from_bus ? "ok" : bus_ == nullptr ? "gone" : "no daemon";
  reading.units_map = units_map_.state();
  reading.status = reading.from_bus ? std::move(status)
                                    : fallback_status(entries ? entries->size() : 0, in_sensorlist);
  return reading;
}

}  // namespace web
