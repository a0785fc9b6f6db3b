#include "discovery_rules.h"

#include <json-c/json.h>

#include <map>
#include <memory>
#include <regex>
#include <set>

namespace discovery_rules {

namespace {

struct ClassRule {
  std::set<std::string> units, state_classes;
};

// Device class: units (exact spelling) and the state classes it allows.
const std::map<std::string, ClassRule> &sensor_classes() {
  static const std::set<std::string> measurement{"measurement"};
  static const std::set<std::string> pressure{"Pa", "hPa", "kPa", "mPa", "bar", "cbar", "mbar", "mmHg", "inHg", "inH₂O", "psi"};
  static const std::map<std::string, ClassRule> classes{
      {"temperature", {{"°C", "°F", "K"}, measurement}},
      {"humidity", {{"%"}, measurement}},
      {"moisture", {{"%"}, measurement}},
      {"battery", {{"%"}, measurement}},
      {"voltage", {{"µV", "mV", "V", "kV", "MV"}, measurement}},
      {"current", {{"mA", "A", "µA"}, measurement}},
      {"pressure", {pressure, measurement}},
      {"atmospheric_pressure", {pressure, measurement}},
      {"co2", {{"ppm"}, measurement}},
      {"co", {{"ppm"}, measurement}},
      {"volatile_organic_compounds_parts", {{"ppb", "ppm"}, measurement}},
      {"volatile_organic_compounds", {{"µg/m³"}, measurement}},
      {"pm1", {{"µg/m³"}, measurement}},
      {"pm10", {{"µg/m³"}, measurement}},
      {"pm25", {{"µg/m³"}, measurement}},
      {"ozone", {{"µg/m³"}, measurement}},
      {"nitrogen_dioxide", {{"µg/m³"}, measurement}},
      {"sulphur_dioxide", {{"µg/m³"}, measurement}},
      {"illuminance", {{"lx"}, measurement}},
      {"sound_pressure", {{"dB", "dBA"}, measurement}},
      {"signal_strength", {{"dB", "dBm"}, measurement}},
      {"ph", {{""}, measurement}},
      {"distance", {{"km", "m", "cm", "mm", "mi", "yd", "in", "ft"}, {"measurement", "total", "total_increasing"}}},
      {"volume_flow_rate", {{"m³/h", "L/min", "L/h", "mL/s", "gal/min", "ft³/min"}, measurement}},
      {"power", {{"mW", "W", "kW", "MW", "GW", "TW"}, measurement}},
      {"energy", {{"Wh", "kWh", "MWh", "GWh", "TWh"}, {"total", "total_increasing"}}},
      {"frequency", {{"Hz", "kHz", "MHz", "GHz"}, measurement}},
      {"conductivity", {{"S/cm", "mS/cm", "µS/cm"}, measurement}},
      {"speed", {{"m/s", "km/h", "mph", "kn", "ft/s"}, measurement}},
      {"wind_speed", {{"m/s", "km/h", "mph", "kn", "ft/s"}, measurement}},
      {"timestamp", {{""}, {}}},
  };
  return classes;
}

const std::set<std::string> kStateClasses{"measurement", "total", "total_increasing", "measurement_angle"};
const std::set<std::string> kBinaryClasses{"battery", "connectivity", "door", "moisture", "motion", "opening", "plug",
                                           "power", "presence", "problem", "running", "safety", "smoke", "tamper"};
const std::set<std::string> kAvailabilityKeys{"topic", "payload_available", "payload_not_available", "value_template"};
const std::set<std::string> kKnownKeys{
    "name", "unique_id", "object_id", "state_topic", "value_template", "unit_of_measurement", "device_class", "state_class",
    "entity_category", "availability", "availability_mode", "availability_topic", "device", "payload_on", "payload_off",
    "icon", "suggested_display_precision", "expire_after", "force_update", "json_attributes_topic", "origin"};

struct Release {
  void operator()(json_object *object) const { json_object_put(object); }
};

json_object *member(json_object *object, const char *key) {
  json_object *value = nullptr;
  return json_object_is_type(object, json_type_object) && json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

bool is_string(json_object *value) { return value != nullptr && json_object_is_type(value, json_type_string); }
std::string text(json_object *value) { return is_string(value) ? json_object_get_string(value) : ""; }

bool id_ok(const std::string &id) { return std::regex_match(id, std::regex("[a-zA-Z0-9_-]+")); }

// The identifiers a device block announces.
std::vector<std::string> identifiers(json_object *device) {
  std::vector<std::string> ids;
  json_object *list = member(device, "identifiers");
  if (is_string(list)) ids.push_back(text(list));
  if (list != nullptr && json_object_is_type(list, json_type_array))
    for (std::size_t i = 0; i < json_object_array_length(list); ++i) ids.push_back(text(json_object_array_get_idx(list, i)));
  return ids;
}

void check_sensor(json_object *config, const std::string &where, std::vector<std::string> &faults) {
  const std::string unit = text(member(config, "unit_of_measurement"));
  const std::string state_class = text(member(config, "state_class"));
  if (member(config, "state_class") != nullptr && kStateClasses.count(state_class) == 0)
    faults.push_back(where + ": unknown state_class \"" + state_class + "\"");
  json_object *klass = member(config, "device_class");
  if (klass == nullptr) return;
  const auto rule = sensor_classes().find(text(klass));
  if (rule == sensor_classes().end()) {
    faults.push_back(where + ": unknown device_class \"" + text(klass) + "\"");
    return;
  }
  if (rule->second.units.count(unit) == 0)
    faults.push_back(where + ": unit \"" + unit + "\" is not one of device_class " + rule->first + "'s");
  if (member(config, "state_class") != nullptr && rule->second.state_classes.count(state_class) == 0)
    faults.push_back(where + ": state_class " + state_class + " is not allowed for device_class " + rule->first);
}

void check_availability(json_object *config, const std::string &where, std::vector<std::string> &faults) {
  json_object *list = member(config, "availability");
  if (list != nullptr) {
    if (!json_object_is_type(list, json_type_array) || json_object_array_length(list) == 0) {
      faults.push_back(where + ": availability is not a list of topics");
    } else {
      for (std::size_t i = 0; i < json_object_array_length(list); ++i) {
        json_object *entry = json_object_array_get_idx(list, i);
        if (!is_string(member(entry, "topic"))) faults.push_back(where + ": an availability entry has no topic");
        if (json_object_is_type(entry, json_type_object)) {
          json_object_object_foreach(entry, key, value) {
            (void)value;
            if (kAvailabilityKeys.count(key) == 0) faults.push_back(where + ": availability entry key \"" + key + "\"");
          }
        }
      }
    }
  }
  json_object *mode = member(config, "availability_mode");
  if (mode != nullptr && text(mode) != "all" && text(mode) != "any" && text(mode) != "latest")
    faults.push_back(where + ": availability_mode \"" + text(mode) + "\"");
}

}  // namespace

std::vector<std::string> check_configs(const std::vector<Config> &configs, const std::string &prefix) {
  std::vector<std::string> faults;
  const std::regex topic_shape("([^/]+)/([^/]+)/(?:([^/]+)/)?([^/]+)/config");
  std::set<std::string> announced, unique_ids;
  std::vector<std::pair<std::string, std::string>> via;  // where, named device
  for (const Config &config : configs) {
    const std::string &where = config.topic;
    std::smatch parts;
    if (!std::regex_match(config.topic, parts, topic_shape) || parts[1] != prefix) {
      faults.push_back(where + ": not a discovery topic under " + prefix);
      continue;
    }
    const std::string component = parts[2];
    if ((parts[3].matched && !id_ok(parts[3])) || !id_ok(parts[4])) faults.push_back(where + ": ids must be of [a-zA-Z0-9_-]");
    if (config.payload.empty()) continue;  // a removal
    const std::unique_ptr<json_object, Release> document(json_tokener_parse(config.payload.c_str()));
    json_object *root = document.get();
    if (root == nullptr || !json_object_is_type(root, json_type_object)) {
      faults.push_back(where + ": payload is no JSON object");
      continue;
    }
    json_object_object_foreach(root, key, value) {
      (void)value;
      if (kKnownKeys.count(key) == 0) faults.push_back(where + ": unknown key \"" + key + "\"");
    }
    if (!is_string(member(root, "state_topic"))) faults.push_back(where + ": no state_topic");
    const std::string unique = text(member(root, "unique_id"));
    if (unique.empty() || !id_ok(unique)) faults.push_back(where + ": unique_id \"" + unique + "\" missing or not of [a-zA-Z0-9_-]");
    else if (!unique_ids.insert(unique).second) faults.push_back(where + ": unique_id " + unique + " used twice");
    if (member(root, "object_id") != nullptr && !id_ok(text(member(root, "object_id"))))
      faults.push_back(where + ": object_id not of [a-zA-Z0-9_-]");
    json_object *device = member(root, "device");
    const std::vector<std::string> ids = identifiers(device);
    if (device == nullptr || (ids.empty() && member(device, "connections") == nullptr))
      faults.push_back(where + ": device without identifiers");
    for (const std::string &id : ids) announced.insert(id);
    if (json_object *named = member(device, "via_device")) via.emplace_back(where, text(named));
    const std::string category = text(member(root, "entity_category"));
    if (member(root, "entity_category") != nullptr && category != "diagnostic" && (component == "sensor" || category != "config"))
      faults.push_back(where + ": entity_category \"" + category + "\"");
    check_availability(root, where, faults);
    if (component == "sensor") {
      check_sensor(root, where, faults);
    } else if (component == "binary_sensor") {
      if (member(root, "unit_of_measurement") != nullptr || member(root, "state_class") != nullptr)
        faults.push_back(where + ": a binary sensor has no unit or state class");
      if (member(root, "device_class") != nullptr && kBinaryClasses.count(text(member(root, "device_class"))) == 0)
        faults.push_back(where + ": unknown binary_sensor device_class");
    } else {
      faults.push_back(where + ": component " + component + " is not checked here");
    }
  }
  for (const auto &[where, named] : via)
    if (announced.count(named) == 0) faults.push_back(where + ": via_device \"" + named + "\" names no announced device");
  return faults;
}

}  // namespace discovery_rules
