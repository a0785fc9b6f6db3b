#include "topics.h"

#include <cctype>
#include <cstdlib>
#include <set>

#include "device_classes.h"
#include "version.h"

namespace mqtt_agent {

std::string bridge_state_payload(bool online) { return online ? R"({"state":"online"})" : R"({"state":"offline"})"; }

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

std::vector<std::string> channel_keys(const SensorState &sensor) {
  std::vector<std::string> keys;
  std::set<std::string> taken;
  for (std::size_t i = 0; i < sensor.channels.size(); ++i) {
    std::string key = slug(sensor.channels[i].name);
    if (!taken.insert(key).second) key += "-" + std::to_string(i + 1);
    keys.push_back(key);
  }
  return keys;
}

std::string display_name(const SensorState &sensor) { return sensor.name.empty() ? sensor.id : sensor.name; }

namespace {

// The sensor's entities: a key for the object id, the name, the template of its value in the state
// document and what Home Assistant makes of it.
struct Entity {
  std::string key, name, value_template;
  ChannelClass kind;
  bool diagnostic = false;
};

// A Jinja string literal of the channel name, for the value template.
std::string quoted_for_template(const std::string &name) {
  std::string out = "'";
  for (char c : name) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

std::vector<Entity> entities_of(const SensorState &sensor) {
  std::vector<Entity> entities;
  const std::vector<std::string> keys = channel_keys(sensor);
  for (std::size_t i = 0; i < sensor.channels.size(); ++i) {
    const ChannelState &channel = sensor.channels[i];
    entities.push_back({keys[i], channel.name,
                        "{{ value_json.channels[" + quoted_for_template(channel.name) + "].value }}",
                        classify_channel(channel.type_text, channel.unit)});
  }
  // Keys with '-', which no channel's key can be. A value the sensor never sent renders "None",
  // which Home Assistant shows as unknown.
  entities.push_back({"-battery", "Battery", "{{ value_json.battery | default(None) }}", {"voltage", "V", "measurement"}, true});
  entities.push_back({"-rssi", "Signal strength", "{{ value_json.rssi | default(None) }}",
                      {"signal_strength", "dBm", "measurement"}, true});
  entities.push_back({"-last_seen", "Last seen", "{{ value_json.last_seen | default(None) }}", {"timestamp", "", ""}, true});
  return entities;
}

std::string object_id(const TopicLayout &topics, const SensorState &sensor, const Entity &entity) {
  return safe_id(topics.gateway_id) + "_" + sensor.id + (entity.key.front() == '-' ? "" : "_") + entity.key;
}

std::string config_topic(const TopicLayout &topics, const std::string &component, const std::string &id) {
  return topics.discovery_prefix + "/" + component + "/" + id + "/config";
}

void add_text(json_object *object, const char *key, const std::string &value) {
  if (!value.empty()) json_object_object_add(object, key, json_object_new_string(value.c_str()));
}

json_object *availability_entry(const std::string &topic, bool json_state) {
  json_object *entry = json_object_new_object();
  add_text(entry, "topic", topic);
  if (json_state) add_text(entry, "value_template", "{{ value_json.state }}");
  return entry;
}

json_object *sensor_device(const TopicLayout &topics, const SensorState &sensor) {
  json_object *device = json_object_new_object();
  json_object *identifiers = json_object_new_array();
  json_object_array_add(identifiers, json_object_new_string(sensor.id.c_str()));
  json_object_object_add(device, "identifiers", identifiers);
  add_text(device, "name", display_name(sensor));
  add_text(device, "model", sensor.model);
  add_text(device, "manufacturer", sensor.manufacturer);
  add_text(device, "sw_version", sensor.firmware);
  add_text(device, "hw_version", sensor.rf_firmware);
  add_text(device, "via_device", topics.gateway_id);
  return device;
}

}  // namespace

std::vector<DiscoveryMessage> discovery_configs(const TopicLayout &topics, const SensorState &sensor) {
  std::vector<DiscoveryMessage> messages;
  if (topics.discovery_prefix.empty()) return messages;
  for (const Entity &entity : entities_of(sensor)) {
    const Json config(json_object_new_object());
    json_object *root = config.get();
    const std::string unique = object_id(topics, sensor, entity);
    add_text(root, "name", entity.name);
    add_text(root, "unique_id", unique);
    add_text(root, "object_id", unique);
    add_text(root, "state_topic", topics.sensor_state(sensor.id));
    add_text(root, "value_template", entity.value_template);
    add_text(root, "unit_of_measurement", entity.kind.unit);
    add_text(root, "device_class", entity.kind.device_class);
    add_text(root, "state_class", entity.kind.state_class);
    if (entity.diagnostic) add_text(root, "entity_category", "diagnostic");
    json_object *availability = json_object_new_array();
    json_object_array_add(availability, availability_entry(topics.bridge_state(), true));
    json_object_array_add(availability, availability_entry(topics.availability(sensor.id), false));
    json_object_object_add(root, "availability", availability);
    add_text(root, "availability_mode", "all");
    json_object_object_add(root, "device", sensor_device(topics, sensor));
    messages.push_back({config_topic(topics, "sensor", unique), json_text(root)});
  }
  return messages;
}

std::vector<DiscoveryMessage> discovery_removals(const TopicLayout &topics, const SensorState &sensor) {
  std::vector<DiscoveryMessage> messages;
  if (topics.discovery_prefix.empty()) return messages;
  for (const Entity &entity : entities_of(sensor))
    messages.push_back({config_topic(topics, "sensor", object_id(topics, sensor, entity)), ""});
  return messages;
}

DiscoveryMessage gateway_discovery_config(const TopicLayout &topics) {
  const Json config(json_object_new_object());
  json_object *root = config.get();
  const std::string unique = safe_id(topics.gateway_id) + "-connection";
  add_text(root, "name", "Connection state");
  add_text(root, "unique_id", unique);
  add_text(root, "object_id", unique);
  add_text(root, "state_topic", topics.bridge_state());
  add_text(root, "value_template", "{{ value_json.state }}");
  add_text(root, "payload_on", "online");
  add_text(root, "payload_off", "offline");
  add_text(root, "device_class", "connectivity");
  add_text(root, "entity_category", "diagnostic");
  json_object *device = json_object_new_object();
  json_object *identifiers = json_object_new_array();
  json_object_array_add(identifiers, json_object_new_string(topics.gateway_id.c_str()));
  json_object_object_add(device, "identifiers", identifiers);
  add_text(device, "name", "Gateway " + topics.gateway_id);
  add_text(device, "model", "Sub-GHz sensor gateway");
  add_text(device, "sw_version", kAgentVersion);
  json_object_object_add(root, "device", device);
  return {config_topic(topics, "binary_sensor", unique), json_text(root)};
}

json_object *device_entry(const SensorState &sensor) {
  json_object *entry = json_object_new_object();
  // The fields of earlier versions first, then those of the conventions home-automation users know.
  json_object_object_add(entry, "id", json_object_new_string(sensor.id.c_str()));
  json_object_object_add(entry, "short", json_object_new_string(sensor.short_address.c_str()));
  json_object_object_add(entry, "model", json_object_new_string(sensor.model.c_str()));
  json_object_object_add(entry, "firmware", json_object_new_string(sensor.firmware.c_str()));
  json_object_object_add(entry, "interval", json_object_new_int(sensor.interval));
  json_object *channels = json_object_new_array();
  for (const ChannelState &channel : sensor.channels)
    json_object_array_add(channels, json_object_new_string(channel.name.c_str()));
  json_object_object_add(entry, "channels", channels);
  json_object_object_add(entry, "ieee_address", json_object_new_string(sensor.id.c_str()));
  json_object_object_add(entry, "friendly_name", json_object_new_string(display_name(sensor).c_str()));
  char *end = nullptr;
  const long network_address = std::strtol(sensor.short_address.c_str(), &end, 16);
  json_object_object_add(entry, "network_address",
                         sensor.short_address.empty() || *end != '\0' ? nullptr : json_object_new_int(static_cast<int>(network_address)));
  json_object_object_add(entry, "type", json_object_new_string("EndDevice"));
  if (sensor.power_source) json_object_object_add(entry, "power_source", json_object_new_int(*sensor.power_source));
  json_object_object_add(entry, "manufacturer", json_object_new_string(sensor.manufacturer.c_str()));
  json_object_object_add(entry, "software_build_id", json_object_new_string(sensor.firmware.c_str()));
  json_object_object_add(entry, "supported", json_object_new_boolean(1));
  json_object_object_add(entry, "interview_completed", json_object_new_boolean(sensor.channels.empty() ? 0 : 1));
  json_object *definition = json_object_new_object();
  json_object_object_add(definition, "model", json_object_new_string(sensor.model.c_str()));
  json_object_object_add(definition, "vendor", json_object_new_string(sensor.manufacturer.c_str()));
  json_object_object_add(definition, "description", json_object_new_string(display_name(sensor).c_str()));
  json_object *exposes = json_object_new_array();
  for (const ChannelState &channel : sensor.channels) {
    json_object *expose = json_object_new_object();
    json_object_object_add(expose, "type", json_object_new_string("numeric"));
    json_object_object_add(expose, "name", json_object_new_string(channel.name.c_str()));
    // The channel's member of "channels" in the state document.
    json_object_object_add(expose, "property", json_object_new_string(channel.name.c_str()));
    json_object_object_add(expose, "unit", json_object_new_string(channel.unit.c_str()));
    json_object_object_add(expose, "access", json_object_new_int(1));  // published, not settable
    json_object_array_add(exposes, expose);
  }
  json_object_object_add(definition, "exposes", exposes);
  json_object_object_add(entry, "definition", definition);
  return entry;
}

std::string devices_document(const std::vector<const SensorState *> &sensors) {
  const Json list(json_object_new_array());
  for (const SensorState *sensor : sensors) json_object_array_add(list.get(), device_entry(*sensor));
  return json_text(list.get());
}

}  // namespace mqtt_agent
