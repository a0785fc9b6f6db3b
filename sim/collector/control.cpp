#include "control.h"

#include <cstdio>
#include <cstdlib>

#include "bus_json.h"
#include "frames_to_daemon.h"
#include "link_server.h"

namespace sim {

namespace {

// The control is a single bus object of the process.
Network *g_network = nullptr;
ubus_context *g_bus = nullptr;
uloop_timeout g_retry{};
constexpr int kRetryMs = 3000;

const char *style_name(SensorStyle style) { return style == SensorStyle::kIdentifying ? "identification" : "config"; }

json_object *sensor_json(const SimSensor &sensor) {
  json_object *object = json_object_new_object();
  char address[8];
  std::snprintf(address, sizeof address, "%04X", sensor.config.short_address);
  json_object_object_add(object, "ID", json_object_new_string(ext_address_text(sensor.config.ext_address).c_str()));
  json_object_object_add(object, "ShortAddress", json_object_new_string(address));
  json_object_object_add(object, "Style", json_object_new_string(style_name(sensor.config.style)));
  json_object_object_add(object, "Frames",
                         json_object_new_string(sensor.config.frames == FrameKind::kLive ? "live" : "buffered"));
  json_object_object_add(object, "ModelName", json_object_new_string(sensor.identity.model_name.c_str()));
  json_object_object_add(object, "ModelVersion", json_object_new_string(version_text(sensor.identity.model_version).c_str()));
  json_object_object_add(object, "SensorVersion", json_object_new_string(version_text(sensor.identity.sensor_version).c_str()));
  json_object_object_add(object, "EventInterval", json_object_new_int(sensor.interval));
  json_object_object_add(object, "Battery", json_object_new_double(sensor_condition(sensor).battery));
  json_object_object_add(object, "RSSI", json_object_new_int(sensor.config.rssi));
  json_object_object_add(object, "Joined", json_object_new_boolean(sensor.phase == SensorPhase::kJoined));
  json_object_object_add(object, "Identified", json_object_new_boolean(sensor.identified));
  json_object_object_add(object, "Silent", json_object_new_boolean(sensor.silent));
  if (sensor.config.frames == FrameKind::kBuffered) {
    json_object *records = json_object_new_object();
    json_object_object_add(records, "Measured", json_object_new_int64(static_cast<std::int64_t>(sensor.records.measured)));
    json_object_object_add(records, "Delivered", json_object_new_int64(static_cast<std::int64_t>(sensor.records.delivered)));
    json_object_object_add(records, "Discarded", json_object_new_int64(static_cast<std::int64_t>(sensor.records.discarded)));
    json_object_object_add(records, "Held", json_object_new_int64(static_cast<std::int64_t>(sensor.buffered.size())));
    json_object_object_add(object, "Records", records);
  }
  if (sensor.download.active) {
    json_object *download = json_object_new_object();
    json_object_object_add(download, "Kind", json_object_new_string(sensor.download.msp430 ? "MSP430" : "radio"));
    json_object_object_add(download, "File", json_object_new_string(sensor.download.file.c_str()));
    json_object_object_add(download, "Progress", json_object_new_int(sensor.download.progress));
    json_object_object_add(object, "Download", download);
  }
  json_object *channels = json_object_new_array();
  const std::vector<ChannelReading> readings = take_readings(sensor);
  for (const ChannelReading &reading : readings) {
    json_object *channel = json_object_new_object();
    json_object_object_add(channel, "Name", json_object_new_string(reading.name.c_str()));
    json_object_object_add(channel, "Type", json_object_new_int(reading.type));
    json_object_object_add(channel, "Unit", json_object_new_string(reading.unit.c_str()));
    json_object_object_add(channel, "Value", json_object_new_double(reading.value));
    json_object_object_add(channel, "Error", json_object_new_int(reading.error));
    json_object_array_add(channels, channel);
  }
  json_object_object_add(object, "Channels", channels);
  return object;
}

int fail_with(ubus_context *context, ubus_request_data *request, int status, const std::string &why) {
  const Json reply(json_object_new_object());
  json_object_object_add(reply.get(), "Error", json_object_new_string(why.c_str()));
  reply_json(context, request, reply.get());
  return status;
}

int answer(ubus_context *context, ubus_request_data *request, json_object *reply_owned) {
  const Json reply(reply_owned);
  return reply_json(context, request, reply.get());
}

// The sensor a control call names by "ID" (ExtAddress text) or "ShortAddress" (hex text).
SimSensor *named_sensor(json_object *arguments) {
  const std::string id = string_member(arguments, "ID");
  if (!id.empty()) return find_sensor(*g_network, id);
  const std::string short_text = string_member(arguments, "ShortAddress");
  char *end = nullptr;
  const long address = std::strtol(short_text.c_str(), &end, 16);
  if (short_text.empty() || *end != '\0' || address < 1 || address > 0xFFFF) return nullptr;
  return find_sensor(*g_network, static_cast<std::uint16_t>(address));
}

// The channel a call names; null (and the reason) when it names none of the sensor's.
ChannelState *named_channel(SimSensor &sensor, json_object *arguments, std::string &why) {
  const long long index = int_member(arguments, "Channel", -1);
  if (index < 0 || index >= static_cast<long long>(sensor.channels.size())) {
    why = "Channel must be 0 to " + std::to_string(sensor.channels.size() - 1);
    return nullptr;
  }
  return &sensor.channels[static_cast<std::size_t>(index)];
}

int call_list(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *) {
  return answer(context, request, network_json(*g_network));
}

int call_stats(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *) {
  return answer(context, request, stats_json(*g_network));
}

int call_pause(ubus_context *context, ubus_object *, ubus_request_data *request, const char *method, blob_attr *) {
  g_network->paused = std::string(method) == "pause";
  json_object *reply = json_object_new_object();
  json_object_object_add(reply, "Paused", json_object_new_boolean(g_network->paused));
  return answer(context, request, reply);
}

int call_pace(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  json_object *rate = member(arguments.get(), "Rate");
  if (rate == nullptr || !(json_object_is_type(rate, json_type_double) || json_object_is_type(rate, json_type_int)) ||
      !(json_object_get_double(rate) >= 0 && json_object_get_double(rate) <= 100000))
    return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, "Rate must be 0 to 100000 frames per second");
  pace_sensor_data(*g_network, json_object_get_double(rate));
  return answer(context, request, pacing_json(*g_network));
}

int call_stall(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  json_object *seconds = member(arguments.get(), "Seconds");
  if (seconds == nullptr || !(json_object_is_type(seconds, json_type_double) || json_object_is_type(seconds, json_type_int)) ||
      !(json_object_get_double(seconds) >= 0 && json_object_get_double(seconds) <= 3600) || g_network->link_server == nullptr)
    return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, "Seconds must be 0 to 3600");
  stall_link_reading(*g_network->link_server, json_object_get_double(seconds));
  json_object *reply = json_object_new_object();
  json_object_object_add(reply, "Stalled", json_object_new_boolean(g_network->link_server->stalled));
  return answer(context, request, reply);
}

int call_add(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  std::string error;
  const auto config = parse_sensor(arguments.get(), error);
  if (!config) return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, error);
  if (!add_sensor(*g_network, *config, 0.2, error)) return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, error);
  json_object *reply = json_object_new_object();
  json_object_object_add(reply, "Added", json_object_new_string(ext_address_text(config->ext_address).c_str()));
  return answer(context, request, reply);
}

// The calls that act on one named sensor.
int call_sensor(ubus_context *context, ubus_object *, ubus_request_data *request, const char *method, blob_attr *message) {
  const Json arguments = message_json(message);
  SimSensor *sensor = named_sensor(arguments.get());
  if (sensor == nullptr || sensor->phase != SensorPhase::kJoined)
    return fail_with(context, request, UBUS_STATUS_NOT_FOUND, "no joined sensor of that ID or ShortAddress");
  const std::string id = ext_address_text(sensor->config.ext_address);
  const std::string name = method;
  std::string why;
  if (name == "leave") {
    sensor_leave(*sensor);
  } else if (name == "rejoin") {
    sensor_join(*sensor, true);
  } else if (name == "silence") {
    sensor->silent = true;
  } else if (name == "restore") {
    if (int_member(arguments.get(), "Channel", -1) >= 0) {
      ChannelState *channel = named_channel(*sensor, arguments.get(), why);
      if (channel == nullptr) return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, why);
      channel->error = 0;
      channel->fixed_value.reset();
    } else {
      sensor->silent = false;
      for (ChannelState &channel : sensor->channels) channel.error = 0, channel.fixed_value.reset();
    }
  } else {  // fail, set
    ChannelState *channel = named_channel(*sensor, arguments.get(), why);
    if (channel == nullptr) return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, why);
    if (name == "fail") {
      const long long code = int_member(arguments.get(), "Code", 1);
      if (code < 0 || code > 0xFFFF) return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, "Code is 0 to 65535");
      channel->error = static_cast<std::uint16_t>(code);
    } else {
      json_object *value = member(arguments.get(), "Value");
      if (value == nullptr || !(json_object_is_type(value, json_type_double) || json_object_is_type(value, json_type_int)))
        return fail_with(context, request, UBUS_STATUS_INVALID_ARGUMENT, "Value must be a number");
      channel->fixed_value = json_object_get_double(value);
    }
  }
  json_object *reply = json_object_new_object();
  json_object_object_add(reply, "ID", json_object_new_string(id.c_str()));
  json_object_object_add(reply, "Done", json_object_new_string(method));
  return answer(context, request, reply);
}

const ubus_method kMethods[] = {
    UBUS_METHOD_NOARG("list", call_list),       UBUS_METHOD_NOARG("stats", call_stats),
    UBUS_METHOD_NOARG("add", call_add),         UBUS_METHOD_NOARG("leave", call_sensor),
    UBUS_METHOD_NOARG("rejoin", call_sensor),   UBUS_METHOD_NOARG("silence", call_sensor),
    UBUS_METHOD_NOARG("fail", call_sensor),     UBUS_METHOD_NOARG("set", call_sensor),
    UBUS_METHOD_NOARG("restore", call_sensor),  UBUS_METHOD_NOARG("pause", call_pause),
    UBUS_METHOD_NOARG("resume", call_pause),    UBUS_METHOD_NOARG("pace", call_pace),
    UBUS_METHOD_NOARG("stall", call_stall),
};
ubus_object_type g_type = UBUS_OBJECT_TYPE("collector_sim", kMethods);
ubus_object g_object{.name = "collector_sim", .type = &g_type, .methods = kMethods,
                     .n_methods = static_cast<int>(ARRAY_SIZE(kMethods))};

void connect_bus(uloop_timeout *);

void on_bus_lost(ubus_context *) {
  // The context is freed from the loop, not from inside the library's own callback.
  uloop_timeout_set(&g_retry, kRetryMs);
}

void connect_bus(uloop_timeout *) {
  if (g_bus != nullptr) {
    ubus_free(g_bus);
    g_bus = nullptr;
  }
  g_bus = ubus_connect(nullptr);
  // Ids handed out by a bus daemon that has gone mean nothing to the new one: the router's library
  // would announce the object with its old type id, and the new daemon would refuse it.
  g_type.id = 0;
  g_object.id = 0;
  if (g_bus != nullptr && ubus_add_object(g_bus, &g_object) == UBUS_STATUS_OK) {
    g_bus->connection_lost = on_bus_lost;
    ubus_add_uloop(g_bus);
    return;
  }
  if (g_bus != nullptr) ubus_free(g_bus), g_bus = nullptr;
  uloop_timeout_set(&g_retry, kRetryMs);
}

}  // namespace

json_object *network_json(Network &network) {
  json_object *object = json_object_new_object();
  json_object_object_add(object, "State", json_object_new_string(collector_state_name(network.state)));
  json_object_object_add(object, "Region", json_object_new_string(network.region.c_str()));
  json_object_object_add(object, "ModelName", json_object_new_string(network.identity.model_name.c_str()));
  json_object_object_add(object, "Link", json_object_new_boolean(network.link >= 0));
  json_object_object_add(object, "JoinPermit", json_object_new_boolean(network.join_permit));
  json_object_object_add(object, "Paused", json_object_new_boolean(network.paused));
  json_object_object_add(object, "TimeScale", json_object_new_double(network.config.time_scale));
  json_object_object_add(object, "SimulatedSeconds", json_object_new_int64(static_cast<std::int64_t>(simulated_seconds(network))));
  json_object *sensors = json_object_new_array();
  for (const auto &[address, sensor] : network.sensors) json_object_array_add(sensors, sensor_json(*sensor));
  json_object_object_add(object, "Sensors", sensors);
  return object;
}

json_object *stats_json(Network &network) {
  json_object *object = counts_json(network.counts);
  json_object_object_add(object, "State", json_object_new_string(collector_state_name(network.state)));
  json_object_object_add(object, "SimulatedSeconds", json_object_new_int64(static_cast<std::int64_t>(simulated_seconds(network))));
  std::size_t joined = 0;
  for (const auto &[address, sensor] : network.sensors) joined += sensor->phase == SensorPhase::kJoined;
  json_object_object_add(object, "Joined", json_object_new_int(static_cast<int>(joined)));
  std::size_t reporting = 0;
  for (const auto &[address, sensor] : network.sensors) reporting += reports_readings(*sensor);
  json_object_object_add(object, "Reporting", json_object_new_int(static_cast<int>(reporting)));
  json_object_object_add(object, "Paced", pacing_json(network));
  return object;
}

void start_control(Network &network) {
  g_network = &network;
  g_retry.cb = connect_bus;
  connect_bus(&g_retry);
}

void stop_control() {
  uloop_timeout_cancel(&g_retry);
  if (g_bus != nullptr) ubus_free(g_bus);
  g_bus = nullptr;
}

}  // namespace sim
