#include "sensor_state.h"

#include <cmath>
#include <cstdio>

#include "json.h"

namespace mqtt_agent {

namespace {

ChannelState &channel_named(SensorState &sensor, const std::string &name, std::size_t index) {
  for (ChannelState &channel : sensor.channels)
    if (channel.name == name) return channel;
  // Logged data names channels by the sensor's own names, which may differ from the channel list:
  // fall back to the position.
  if (index < sensor.channels.size() && !name.empty()) return sensor.channels[index];
  sensor.channels.push_back(ChannelState{name, "", "", std::nullopt, false});
  return sensor.channels.back();
}

// A point's value: a number, or the string "NaN" of a channel in error.
void set_point(SensorState &sensor, ChannelState &channel, json_object *value) {
  if (value != nullptr && (json_object_is_type(value, json_type_double) || json_object_is_type(value, json_type_int))) {
    const double number = json_object_get_double(value);
    if (std::isfinite(number)) {
      channel.value = number;
      channel.in_error = false;
      sensor.alarms.erase(channel.name);
      return;
    }
  }
  channel.value.reset();
  channel.in_error = true;
}

// One data object {"BaseTime","Values":[{"Name","Values":[{"T","V"}...]}...]}: the latest point of
// each channel.
bool apply_data_object(SensorState &sensor, json_object *data) {
  json_object *channels = member(data, "Values");
  if (channels == nullptr || !json_object_is_type(channels, json_type_array)) return false;
  const std::size_t count = json_object_array_length(channels);
  for (std::size_t i = 0; i < count; ++i) {
    json_object *entry = json_object_array_get_idx(channels, i);
    json_object *points = member(entry, "Values");
    const auto name = string_member(entry, "Name");
    if (!name || points == nullptr || !json_object_is_type(points, json_type_array)) continue;
    json_object *latest = nullptr;
    std::int64_t latest_offset = -1;
    for (std::size_t p = 0; p < json_object_array_length(points); ++p) {
      json_object *point = json_object_array_get_idx(points, p);
      const std::int64_t offset = json_object_get_int64(member(point, "T"));
      if (member(point, "V") != nullptr && offset >= latest_offset) {
        latest = point;
        latest_offset = offset;
      }
    }
    if (latest != nullptr) set_point(sensor, channel_named(sensor, *name, i), member(latest, "V"));
  }
  return true;
}

// [{"Key":K,"Value":V}...] into a callback per pair.
template <typename Fn>
void for_each_key_value(json_object *array, Fn fn) {
  if (array == nullptr || !json_object_is_type(array, json_type_array)) return;
  for (std::size_t i = 0; i < json_object_array_length(array); ++i) {
    json_object *pair = json_object_array_get_idx(array, i);
    const auto key = string_member(pair, "Key");
    json_object *value = member(pair, "Value");
    if (key && value != nullptr) fn(*key, value);
  }
}

bool is_number(json_object *value) {
  return json_object_is_type(value, json_type_int) || json_object_is_type(value, json_type_double);
}

}  // namespace

ReportEffect apply_report(SensorState &sensor, int type, const std::string &body_text, std::time_t now) {
  const Json body = parse_json(body_text);
  if (body == nullptr) return ReportEffect::none;
  switch (type) {
    case 0: {
      const auto parent = string_member(body.get(), "Parent");
      if (!parent) return ReportEffect::none;
      sensor.present = !parent->empty();
      if (sensor.present) sensor.last_seen = now;
      return sensor.present ? ReportEffect::joined : ReportEffect::left;
    }
    case 1: {
      if (!json_object_is_type(body.get(), json_type_array)) return ReportEffect::none;
      std::vector<ChannelState> channels;
      for (std::size_t i = 0; i < json_object_array_length(body.get()); ++i) {
        json_object *entry = json_object_array_get_idx(body.get(), i);
        ChannelState channel{string_member(entry, "N").value_or(""), string_member(entry, "T").value_or(""),
                             string_member(entry, "U").value_or(""), std::nullopt, false};
        // Keep a value already known for a channel of the same name.
        for (const ChannelState &old : sensor.channels)
          if (old.name == channel.name) {
            channel.value = old.value;
            channel.in_error = old.in_error;
          }
        channels.push_back(channel);
      }
      sensor.channels = std::move(channels);
      sensor.last_seen = now;
      return ReportEffect::channels;
    }
    case 2:
      for_each_key_value(body.get(), [&](const std::string &key, json_object *value) {
        if (key == "EventInterval" && json_object_is_type(value, json_type_int)) sensor.interval = json_object_get_int(value);
      });
      sensor.last_seen = now;
      return ReportEffect::state;
    case 3:
      for_each_key_value(body.get(), [&](const std::string &key, json_object *value) {
        const bool text = json_object_is_type(value, json_type_string);
        if (key == "Manufacturer" && text) sensor.manufacturer = json_object_get_string(value);
        if (key == "Model" && text) sensor.model = json_object_get_string(value);
        if (key == "Firmware" && text) sensor.firmware = json_object_get_string(value);
        if (key == "RFFirmware" && text) sensor.rf_firmware = json_object_get_string(value);
        if (key == "Battery" && is_number(value)) sensor.battery = json_object_get_double(value);
        if (key == "RSSI" && is_number(value)) sensor.rssi = json_object_get_int(value);
        if (key == "PowerSource" && is_number(value)) sensor.power_source = json_object_get_int(value);
      });
      sensor.last_seen = now;
      return ReportEffect::state;
    case 6:
      if (!json_object_is_type(body.get(), json_type_array)) return ReportEffect::none;
      for (std::size_t i = 0; i < json_object_array_length(body.get()); ++i) {
        json_object *event = json_object_array_get_idx(body.get(), i);
        const auto source = string_member(event, "Source");
        if (!source) continue;
        const std::int64_t millis = json_object_get_int64(member(event, "Time"));
        sensor.alarms[*source] = AlarmState{string_member(event, "Value").value_or(""),
                                            string_member(event, "Msg").value_or(""),
                                            millis > 0 ? static_cast<std::time_t>(millis / 1000) : now};
      }
      sensor.last_seen = now;
      return ReportEffect::state;
    case 9:
      if (!json_object_is_type(body.get(), json_type_array)) return ReportEffect::none;
      for (std::size_t i = 0; i < json_object_array_length(body.get()); ++i)
        apply_data_object(sensor, json_object_array_get_idx(body.get(), i));
      sensor.last_seen = now;
      return ReportEffect::state;
    default:
      return ReportEffect::none;
  }
}

bool apply_live_values(SensorState &sensor, const std::string &text, std::time_t now) {
  if (text.empty() || text == sensor.live_text) return false;
  const Json body = parse_json(text);
  json_object *data = member(body.get(), "Data");
  if (data == nullptr || !apply_data_object(sensor, data)) return false;
  sensor.live_text = text;
  sensor.last_seen = now;
  return true;
}

namespace {

// A number written as its shortest plain text (21.5, not 21.500000000000001).
json_object *number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return json_object_new_double_s(value, text);
}

}  // namespace

namespace {

std::time_t from_iso_time(const std::string &text) {
  std::tm parts{};
  if (text.empty() || strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts) == nullptr) return 0;
  return timegm(&parts);
}

}  // namespace

bool sensor_from_document(const std::string &text, SensorState &sensor) {
  const Json document = parse_json(text);
  const auto id = string_member(document.get(), "id");
  if (!id) return false;
  sensor = SensorState{};
  sensor.id = *id;
  sensor.short_address = string_member(document.get(), "short").value_or("");
  sensor.name = string_member(document.get(), "name").value_or("");
  sensor.manufacturer = string_member(document.get(), "manufacturer").value_or("");
  sensor.model = string_member(document.get(), "model").value_or("");
  sensor.firmware = string_member(document.get(), "firmware").value_or("");
  sensor.rf_firmware = string_member(document.get(), "rf_firmware").value_or("");
  if (json_object *channels = member(document.get(), "channels"); channels != nullptr && json_object_is_type(channels, json_type_object)) {
    json_object_object_foreach(channels, name, entry) {
      ChannelState channel{name, string_member(entry, "type").value_or(""), string_member(entry, "unit").value_or(""),
                           std::nullopt, has_member(entry, "error")};
      if (json_object *value = member(entry, "value"); value != nullptr && is_number(value)) channel.value = json_object_get_double(value);
      sensor.channels.push_back(channel);
    }
  }
  if (json_object *alarms = member(document.get(), "alarms"); alarms != nullptr && json_object_is_type(alarms, json_type_object)) {
    json_object_object_foreach(alarms, name, entry) {
      sensor.alarms[name] = AlarmState{string_member(entry, "alarm").value_or(""), string_member(entry, "message").value_or(""),
                                       from_iso_time(string_member(entry, "time").value_or(""))};
    }
  }
  if (json_object *value = member(document.get(), "battery"); value != nullptr && is_number(value)) sensor.battery = json_object_get_double(value);
  if (json_object *value = member(document.get(), "rssi"); value != nullptr && is_number(value)) sensor.rssi = json_object_get_int(value);
  if (json_object *value = member(document.get(), "power_source"); value != nullptr && is_number(value))
    sensor.power_source = json_object_get_int(value);
  if (json_object *value = member(document.get(), "interval"); value != nullptr && is_number(value)) sensor.interval = json_object_get_int(value);
  sensor.last_seen = from_iso_time(string_member(document.get(), "last_seen").value_or(""));
  return true;
}

std::string iso_time(std::time_t time) {
  if (time == 0) return "";
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string state_document(const SensorState &sensor, std::int64_t seq) {
  const Json state(json_object_new_object());
  json_object *root = state.get();
  json_object_object_add(root, "id", json_object_new_string(sensor.id.c_str()));
  auto add_text = [&](const char *key, const std::string &value) {
    if (!value.empty()) json_object_object_add(root, key, json_object_new_string(value.c_str()));
  };
  add_text("short", sensor.short_address);
  add_text("name", sensor.name);
  add_text("manufacturer", sensor.manufacturer);
  add_text("model", sensor.model);
  add_text("firmware", sensor.firmware);
  add_text("rf_firmware", sensor.rf_firmware);
  json_object *channels = json_object_new_object();
  for (const ChannelState &channel : sensor.channels) {
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "value", channel.value ? number(*channel.value) : nullptr);
    json_object_object_add(entry, "unit", json_object_new_string(channel.unit.c_str()));
    if (!channel.type_text.empty()) json_object_object_add(entry, "type", json_object_new_string(channel.type_text.c_str()));
    if (channel.in_error) json_object_object_add(entry, "error", json_object_new_boolean(1));
    json_object_object_add(channels, channel.name.c_str(), entry);
  }
  json_object_object_add(root, "channels", channels);
  json_object *alarms = json_object_new_object();
  for (const auto &[name, alarm] : sensor.alarms) {
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "alarm", json_object_new_string(alarm.alarm.c_str()));
    json_object_object_add(entry, "message", json_object_new_string(alarm.message.c_str()));
    json_object_object_add(entry, "time", json_object_new_string(iso_time(alarm.time).c_str()));
    json_object_object_add(alarms, name.c_str(), entry);
  }
  json_object_object_add(root, "alarms", alarms);
  if (sensor.battery) json_object_object_add(root, "battery", number(*sensor.battery));
  if (sensor.rssi) json_object_object_add(root, "rssi", json_object_new_int(*sensor.rssi));
  if (sensor.power_source) json_object_object_add(root, "power_source", json_object_new_int(*sensor.power_source));
  if (sensor.interval > 0) json_object_object_add(root, "interval", json_object_new_int(sensor.interval));
  json_object_object_add(root, "last_seen",
                         sensor.last_seen != 0 ? json_object_new_string(iso_time(sensor.last_seen).c_str()) : nullptr);
  json_object_object_add(root, "seq", json_object_new_int64(seq));
  return json_text(root);
}

}  // namespace mqtt_agent
