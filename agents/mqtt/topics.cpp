#include "topics.h"

#include <cctype>

#include "json.h"

namespace mqtt_agent {

std::string slug(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) out += static_cast<char>(std::tolower(c));
    else if (!out.empty() && out.back() != '_') out += '_';
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "channel" : out;
}

std::string safe_id(const std::string &text) {
  std::string out;
  for (unsigned char c : text) out += std::isalnum(c) || c == '-' ? static_cast<char>(c) : '_';
  return out;
}

std::string device_class(const ChannelState &channel) {
  struct Rule {
    const char *unit;
    const char *type_word;
    const char *device_class;
  };
  static const Rule kRules[] = {
      {"°C", "temperature", "temperature"}, {"°F", nullptr, "temperature"}, {"K", nullptr, "temperature"},
      {"%RH", "humidity", "humidity"},      {"V", "voltage", "voltage"},     {"mV", nullptr, "voltage"},
      {"A", "current", "current"},          {"mA", nullptr, "current"},      {"kPa", "pressure", "pressure"},
      {"Pa", nullptr, "pressure"},          {"hPa", nullptr, "pressure"},    {"bar", nullptr, "pressure"},
      {"mbar", nullptr, "pressure"},        {"psi", nullptr, "pressure"},    {nullptr, "battery", "battery"},
  };
  std::string type = channel.type_text + " " + channel.name;
  for (char &c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Rule &rule : kRules)
    if (rule.unit != nullptr && channel.unit == rule.unit) return rule.device_class;
  for (const Rule &rule : kRules)
    if (rule.type_word != nullptr && type.find(rule.type_word) != std::string::npos) return rule.device_class;
  return "";
}

namespace {

std::string config_topic(const TopicLayout &topics, const SensorState &sensor, const ChannelState &channel) {
  return topics.discovery_prefix + "/sensor/" + safe_id(topics.gateway_id) + "_" + sensor.id + "_" + slug(channel.name) +
         "/config";
}

// A Jinja string literal of the channel name, for the value template.
std::string quoted_for_template(const std::string &name) {
  std::string out = "'";
  for (char c : name) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

std::vector<DiscoveryMessage> discovery_configs(const TopicLayout &topics, const SensorState &sensor) {
  std::vector<DiscoveryMessage> messages;
  if (topics.discovery_prefix.empty()) return messages;
  for (const ChannelState &channel : sensor.channels) {
    const Json config(json_object_new_object());
    json_object *root = config.get();
    const std::string unique = safe_id(topics.gateway_id) + "_" + sensor.id + "_" + slug(channel.name);
    json_object_object_add(root, "name", json_object_new_string(channel.name.c_str()));
    json_object_object_add(root, "unique_id", json_object_new_string(unique.c_str()));
    json_object_object_add(root, "object_id", json_object_new_string(unique.c_str()));
    json_object_object_add(root, "state_topic", json_object_new_string(topics.sensor_state(sensor.id).c_str()));
    const std::string value_template = "{{ value_json.channels[" + quoted_for_template(channel.name) + "].value }}";
    json_object_object_add(root, "value_template", json_object_new_string(value_template.c_str()));
    if (!channel.unit.empty())
      json_object_object_add(root, "unit_of_measurement", json_object_new_string(channel.unit.c_str()));
    const std::string klass = device_class(channel);
    if (!klass.empty()) {
      json_object_object_add(root, "device_class", json_object_new_string(klass.c_str()));
      json_object_object_add(root, "state_class", json_object_new_string("measurement"));
    }
    json_object *availability = json_object_new_array();
    for (const std::string &topic : {topics.bridge_state(), topics.availability(sensor.id)}) {
      json_object *entry = json_object_new_object();
      json_object_object_add(entry, "topic", json_object_new_string(topic.c_str()));
      json_object_array_add(availability, entry);
    }
    json_object_object_add(root, "availability", availability);
    json_object_object_add(root, "availability_mode", json_object_new_string("all"));
    json_object *device = json_object_new_object();
    json_object *identifiers = json_object_new_array();
    json_object_array_add(identifiers, json_object_new_string(sensor.id.c_str()));
    json_object_object_add(device, "identifiers", identifiers);
    json_object_object_add(device, "name", json_object_new_string(sensor.id.c_str()));
    if (!sensor.model.empty()) json_object_object_add(device, "model", json_object_new_string(sensor.model.c_str()));
    if (!sensor.manufacturer.empty())
      json_object_object_add(device, "manufacturer", json_object_new_string(sensor.manufacturer.c_str()));
    if (!sensor.firmware.empty())
      json_object_object_add(device, "sw_version", json_object_new_string(sensor.firmware.c_str()));
    if (!sensor.rf_firmware.empty())
      json_object_object_add(device, "hw_version", json_object_new_string(sensor.rf_firmware.c_str()));
    json_object_object_add(device, "via_device", json_object_new_string(topics.gateway_id.c_str()));
    json_object_object_add(root, "device", device);
    messages.push_back({config_topic(topics, sensor, channel), json_text(root)});
  }
  return messages;
}

std::vector<DiscoveryMessage> discovery_removals(const TopicLayout &topics, const SensorState &sensor) {
  std::vector<DiscoveryMessage> messages;
  if (topics.discovery_prefix.empty()) return messages;
  for (const ChannelState &channel : sensor.channels) messages.push_back({config_topic(topics, sensor, channel), ""});
  return messages;
}

std::string devices_document(const std::vector<const SensorState *> &sensors) {
  const Json list(json_object_new_array());
  for (const SensorState *sensor : sensors) {
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "id", json_object_new_string(sensor->id.c_str()));
    json_object_object_add(entry, "short", json_object_new_string(sensor->short_address.c_str()));
    json_object_object_add(entry, "model", json_object_new_string(sensor->model.c_str()));
    json_object_object_add(entry, "firmware", json_object_new_string(sensor->firmware.c_str()));
    json_object_object_add(entry, "interval", json_object_new_int(sensor->interval));
    json_object *channels = json_object_new_array();
    for (const ChannelState &channel : sensor->channels)
      json_object_array_add(channels, json_object_new_string(channel.name.c_str()));
    json_object_object_add(entry, "channels", channels);
    json_object_array_add(list.get(), entry);
  }
  return json_text(list.get());
}

}  // namespace mqtt_agent
