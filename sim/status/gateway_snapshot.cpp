#include "gateway_snapshot.h"

#include <gateway_lib/shm_channel.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bus_json.h"

namespace sim {

namespace {

// The published channel descriptions of a sensor ("<id>_meta"): 23-byte entries of a 17-byte
// name, a type code and a 5-byte unit.
struct MetaEntry {
  char name[17];
  std::uint8_t type;
  char unit[5];
};
static_assert(sizeof(MetaEntry) == 23 && offsetof(MetaEntry, unit) == 18);

struct FreeBytes {
  void operator()(void *p) const { std::free(p); }
};

std::string channel_content(const std::string &name) {
  std::int32_t size = 0;
  const std::unique_ptr<void, FreeBytes> content(share_memory_read_noneblock(name.c_str(), &size, 10));
  return content && size > 0 ? std::string(static_cast<const char *>(content.get()), static_cast<std::size_t>(size)) : "";
}

std::vector<MetaEntry> channel_meta(const std::string &id) {
  const std::string bytes = channel_content(id + "_meta");
  std::vector<MetaEntry> entries(bytes.size() / sizeof(MetaEntry));
  if (!entries.empty()) std::memcpy(entries.data(), bytes.data(), entries.size() * sizeof(MetaEntry));
  return entries;
}

std::string bounded(const char *text, std::size_t size) { return std::string(text, strnlen(text, size)); }

// "sensorlist.@<type>[0].<option>='<value>'" lines, by section type.
std::map<std::string, std::map<std::string, std::string>> read_sensorlist() {
  std::map<std::string, std::map<std::string, std::string>> sections;
  FILE *pipe = popen("uci -q show sensorlist 2>/dev/null", "r");
  if (pipe == nullptr) return sections;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t at = text.find("@"), bracket = text.find("[", at), equals = text.find("=");
    if (at == std::string::npos || bracket == std::string::npos || equals == std::string::npos || bracket > equals) continue;
    const std::string section = text.substr(at + 1, bracket - at - 1);
    const std::size_t dot = text.find("].", bracket);
    auto &options = sections[section];
    if (dot == std::string::npos || dot > equals) continue;  // the section line itself
    std::string value = text.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') value = value.substr(1, value.size() - 2);
    options[text.substr(dot + 2, equals - dot - 2)] = value;
  }
  pclose(pipe);
  return sections;
}

// The last point of each channel of a measurement data object {"Values":[{"Name","Values":[...]}]}.
void read_points(json_object *data, std::vector<ChannelShown> &channels) {
  json_object *values = member(data, "Values");
  for (std::size_t i = 0; values != nullptr && i < json_object_array_length(values); ++i) {
    json_object *channel = json_object_array_get_idx(values, i);
    json_object *points = member(channel, "Values");
    const std::size_t count = points != nullptr ? json_object_array_length(points) : 0;
    if (i >= channels.size()) channels.push_back(ChannelShown{string_member(channel, "Name"), "", "", false});
    if (count == 0) continue;
    json_object *point = json_object_array_get_idx(points, count - 1);
    json_object *value = member(point, "V");
    if (value != nullptr) channels[i].value = json_object_get_string(value);
    const long long base = int_member(data, "BaseTime", 0) / 1000;
    if (base > 0) channels[i].measured = base + int_member(point, "T", 0);
  }
}

void fill_channels(SensorShown &sensor, ubus_context *bus) {
  const std::vector<MetaEntry> meta = channel_meta(sensor.id);
  const std::size_t count = sensor.entry ? sensor.entry->channel_count : meta.size();
  for (std::size_t i = 0; i < count && i < kMaxChannels; ++i) {
    ChannelShown channel;
    if (i < meta.size()) channel.name = bounded(meta[i].name, sizeof meta[i].name), channel.unit = bounded(meta[i].unit, 5);
    if (sensor.entry) {
      if (channel.unit.empty()) channel.unit = sensor.entry->channel_units[i];
      channel.alarm = sensor.entry->channel_alarm[i] != 0;
    }
    sensor.channels.push_back(channel);
  }
  // Live values are published in the sensor's channel; logged records went to the cloud.
  std::vector<ChannelShown> latest;
  const Json live = parse_json(channel_content(sensor.id));
  if (live != nullptr) read_points(member(live.get(), "Data"), latest);
  if (latest.empty() && sensor.reports.count(9) != 0) {
    const Json reply = call_json(bus, "cloud_agent", "reports", "{\"ID\":\"" + sensor.id + "\",\"Type\":9,\"Limit\":1}");
    json_object *reports = member(reply.get(), "Reports");
    if (reports != nullptr && json_object_array_length(reports) > 0) {
      const Json body = parse_json(string_member(json_object_array_get_idx(reports, 0), "Body"));
      if (body != nullptr && json_object_is_type(body.get(), json_type_array) && json_object_array_length(body.get()) > 0)
        read_points(json_object_array_get_idx(body.get(), 0), latest);
    }
  }
  for (std::size_t i = 0; i < latest.size(); ++i) {
    if (i >= sensor.channels.size()) sensor.channels.push_back(ChannelShown{});
    if (sensor.channels[i].name.empty()) sensor.channels[i].name = latest[i].name;
    sensor.channels[i].value = latest[i].value;
    sensor.channels[i].measured = latest[i].measured;
  }
}

}  // namespace

const char *report_type_name(int type) {
  switch (type) {
    case 0: return "joined/left";
    case 1: return "channel list";
    case 2: return "settings";
    case 3: return "device info";
    case 6: return "alarm";
    case 7: return "live data";
    case 9: return "logged data";
    default: return "other";
  }
}

bool value_is_stale(long long measured, int interval, long long now) {
  return measured > 0 && interval > 0 && now - measured > interval;
}

namespace {

// Last seen and availability from the daemon's "sensors" reply, by sensor id.
void fill_from_daemon(std::map<std::string, SensorShown> &sensors, json_object *reply) {
  json_object *list = member(reply, "sensors");
  for (std::size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object *record = json_object_array_get_idx(list, i);
    auto it = sensors.find(string_member(record, "id"));
    if (it == sensors.end()) continue;
    it->second.last_seen = int_member(record, "last_seen", 0);
    it->second.availability = string_member(record, "availability");
  }
}

}  // namespace

GatewaySnapshot take_snapshot() {
  GatewaySnapshot snapshot;
  uloop_init();
  Bus bus(ubus_connect(nullptr));
  snapshot.collector = call_json(bus.get(), "collector_sim", "stats", "", 2000);
  snapshot.cloud = call_json(bus.get(), "cloud_agent", "reports", "{}", 2000);
  snapshot.daemon = call_json(bus.get(), "vorn_mgr", "status", "", 2000);
  const Json daemon_sensors = snapshot.daemon ? call_json(bus.get(), "vorn_mgr", "sensors", "", 2000) : Json();

  std::map<std::string, SensorShown> sensors;
  const auto device_list = read_device_list();
  snapshot.device_list_present = device_list.has_value();
  for (const DeviceEntry &entry : device_list.value_or(std::vector<DeviceEntry>{})) {
    SensorShown &sensor = sensors[entry.ext_address];
    sensor.id = entry.ext_address;
    sensor.entry = entry;
  }
  for (auto &[section, options] : read_sensorlist()) {
    if (section == "Coprocessor") {
      snapshot.coprocessor = options;
      continue;
    }
    SensorShown &sensor = sensors[section];
    sensor.id = section;
    sensor.options = options;
  }
  fill_from_daemon(sensors, daemon_sensors.get());
  json_object *by_sensor = member(snapshot.cloud.get(), "Sensors");
  for (auto &[id, sensor] : sensors) {
    for_each_member(member(by_sensor, id.c_str()), [&sensor = sensor](const char *type, json_object *count) {
      sensor.reports[std::atoi(type)] = json_object_get_int64(count);
    });
    fill_channels(sensor, bus.get());
    snapshot.sensors.push_back(std::move(sensor));
  }
  bus.reset();
  uloop_done();
  return snapshot;
}

}  // namespace sim
