#include "network_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "json_doc.h"
#include "network_config.h"

namespace sim {

namespace {

enum class Kind { kText, kWhole, kNumber, kFlag, kList, kObject, kTextOrWhole };

struct Field {
  const char *name;
  Kind kind;
};

constexpr Field kNetworkFields[] = {
    {"TimeScale", Kind::kNumber}, {"NotActiveAfter", Kind::kWhole}, {"JoinSpacing", Kind::kNumber},
    {"Coprocessor", Kind::kObject}, {"Sensors", Kind::kList},
};
constexpr Field kSensorFields[] = {
    {"ExtAddress", Kind::kText},    {"ShortAddress", Kind::kTextOrWhole}, {"Style", Kind::kText},
    {"Frames", Kind::kText},        {"FixedPoint", Kind::kFlag},          {"ExtendedFrame", Kind::kFlag},
    {"Manufacturer", Kind::kText},  {"ModelName", Kind::kText},           {"ModelNumber", Kind::kText},
    {"DeviceName", Kind::kText},    {"ModelVersion", Kind::kText},        {"SensorVersion", Kind::kText},
    {"EventInterval", Kind::kWhole}, {"Records", Kind::kWhole},           {"Logged", Kind::kFlag},
    {"Battery", Kind::kNumber},     {"RSSI", Kind::kWhole},               {"OpTemperature", Kind::kWhole},
    {"OpVoltage", Kind::kNumber},   {"ClockOffset", Kind::kWhole},        {"Silent", Kind::kFlag},
    {"Failed", Kind::kList},        {"Channels", Kind::kList},
};
constexpr Field kChannelFields[] = {
    {"Name", Kind::kText},   {"Type", Kind::kWhole},      {"Unit", Kind::kText},
    {"Base", Kind::kNumber}, {"Amplitude", Kind::kNumber}, {"Period", Kind::kNumber},
};
constexpr Field kFailedFields[] = {{"Channel", Kind::kWhole}, {"Code", Kind::kWhole}};

bool fits(json_object *value, Kind kind) {
  const json_type type = json_object_get_type(value);
  switch (kind) {
    case Kind::kText: return type == json_type_string;
    case Kind::kWhole: return type == json_type_int;
    case Kind::kNumber: return type == json_type_int || type == json_type_double;
    case Kind::kFlag: return type == json_type_boolean;
    case Kind::kList: return type == json_type_array;
    case Kind::kObject: return type == json_type_object;
    case Kind::kTextOrWhole: return type == json_type_string || type == json_type_int;
  }
  return false;
}

const char *kind_text(Kind kind) {
  switch (kind) {
    case Kind::kText: return "must be a text";
    case Kind::kWhole: return "must be a whole number";
    case Kind::kNumber: return "must be a number";
    case Kind::kFlag: return "must be true or false";
    case Kind::kList: return "must be a list";
    case Kind::kObject: return "must be an object";
    case Kind::kTextOrWhole: return "must be a hexadecimal text or a number";
  }
  return "";
}

// Type faults and unknown names of one object's members, each prefixed by `where`.
template <std::size_t N>
void check_members(json_object *object, const Field (&fields)[N], const std::string &where,
                   std::vector<std::string> &faults) {
  for_each_member(object, [&](const char *key, json_object *value) {
    const Field *field = nullptr;
    for (const Field &candidate : fields)
      if (std::strcmp(candidate.name, key) == 0) field = &candidate;
    if (field == nullptr) faults.push_back(where + std::string(key) + ": unknown field");
    else if (!fits(value, field->kind)) faults.push_back(where + std::string(key) + ": " + kind_text(field->kind));
  });
}

template <std::size_t N>
void check_list_members(json_object *list, const char *list_name, const Field (&fields)[N], const std::string &where,
                        std::vector<std::string> &faults) {
  for (std::size_t i = 0; list != nullptr && json_object_is_type(list, json_type_array) && i < json_object_array_length(list);
       ++i) {
    json_object *element = json_object_array_get_idx(list, i);
    const std::string at = where + list_name + " " + std::to_string(i + 1) + ": ";
    if (!json_object_is_type(element, json_type_object)) faults.push_back(at + "must be an object");
    else check_members(element, fields, at, faults);
  }
}

// "sensor 3 (00124B0001A2B303): " or "sensor 3: " when it names no address.
std::string sensor_label(json_object *sensor, std::size_t index) {
  std::string label = "sensor " + std::to_string(index + 1);
  const std::string id = string_member(sensor, "ExtAddress");
  if (!id.empty()) label += " (" + id.substr(0, 24) + ")";
  return label + ": ";
}

struct AddressesSeen {
  std::map<std::string, std::size_t> ext;
  std::map<long, std::size_t> short_address;
};

// The short address as the collector reads it (hexadecimal text or a number); -1 when it is neither.
long short_address_of(json_object *value) {
  if (value != nullptr && json_object_is_type(value, json_type_int)) return static_cast<long>(json_object_get_int64(value));
  if (value == nullptr || !json_object_is_type(value, json_type_string)) return -1;
  const char *text = json_object_get_string(value);
  char *end = nullptr;
  const long number = std::strtol(text, &end, 16);
  return *text != '\0' && *end == '\0' ? number : -1;
}

// Two sensors with one address: checked on the raw fields, so a sensor with other faults still
// shows its clash.
void note_duplicates(json_object *sensor, std::size_t index, const std::string &where, AddressesSeen &seen,
                     std::vector<std::string> &faults) {
  std::uint8_t ext[8];
  if (parse_ext_address(string_member(sensor, "ExtAddress"), ext)) {
    const std::string id = ext_address_text(ext);
    if (auto [it, added] = seen.ext.emplace(id, index); !added)
      faults.push_back(where + "ExtAddress: " + id + " is also sensor " + std::to_string(it->second + 1) + "'s");
  }
  const long short_address = short_address_of(member(sensor, "ShortAddress"));
  if (short_address < 0) return;
  if (auto [it, added] = seen.short_address.emplace(short_address, index); !added) {
    char text[24];
    std::snprintf(text, sizeof text, "%04lX", static_cast<unsigned long>(short_address));
    faults.push_back(where + "ShortAddress: " + text + " is also sensor " + std::to_string(it->second + 1) + "'s");
  }
}

void check_sensors(json_object *sensors, const std::string &file, std::vector<std::string> &faults) {
  const std::size_t count = json_object_array_length(sensors);
  if (count > kGatewaySensorLimit)
    faults.push_back(file + ": Sensors: " + std::to_string(count) + " sensors, but the gateway holds at most " +
                     std::to_string(kGatewaySensorLimit));
  AddressesSeen seen;
  for (std::size_t i = 0; i < count; ++i) {
    json_object *sensor = json_object_array_get_idx(sensors, i);
    const std::string where = file + ": " + sensor_label(sensor, i);
    if (!json_object_is_type(sensor, json_type_object)) {
      faults.push_back(where + "must be an object");
      continue;
    }
    const std::size_t before = faults.size();
    for (const char *required : {"ExtAddress", "ShortAddress", "Channels"})
      if (member(sensor, required) == nullptr) faults.push_back(where + required + ": missing");
    check_members(sensor, kSensorFields, where, faults);
    check_list_members(member(sensor, "Channels"), "Channels", kChannelFields, where, faults);
    check_list_members(member(sensor, "Failed"), "Failed", kFailedFields, where, faults);
    note_duplicates(sensor, i, where, seen, faults);
    if (faults.size() != before) continue;  // the parser would only repeat the first of them
    std::string error;
    const std::optional<SensorConfig> parsed = parse_sensor(sensor, error);
    if (!parsed) faults.push_back(where + error);
    else if (parsed->short_address > kGatewaySensorLimit)
      faults.push_back(where + "ShortAddress: the gateway holds short addresses 0001 to 0064 (1 to 100)");
  }
}

}  // namespace

std::vector<std::string> check_network_text(const std::string &text, const std::string &file) {
  std::vector<std::string> faults;
  json_tokener *tokener = json_tokener_new();
  const Json document(json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size()) + 1));
  const json_tokener_error parse_error = json_tokener_get_error(tokener);
  const std::size_t offset = json_tokener_get_parse_end(tokener);
  json_tokener_free(tokener);
  const std::size_t end = std::min(offset, text.size());
  const auto line_at = [&](std::size_t at) {
    return std::to_string(1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  };
  if (document == nullptr || parse_error != json_tokener_success) {
    faults.push_back(file + ": not valid JSON near line " + line_at(end) + ": " +
                     (parse_error == json_tokener_continue ? "the text ends early" : json_tokener_error_desc(parse_error)));
    return faults;
  }
  if (text.find_first_not_of(" \t\r\n", end) != std::string::npos && text[text.find_first_not_of(" \t\r\n", end)] != '\0') {
    faults.push_back(file + ": not valid JSON: more text after the object, line " + line_at(end));
    return faults;
  }
  if (!json_object_is_type(document.get(), json_type_object)) {
    faults.push_back(file + ": must hold one JSON object ({\"Sensors\": [...], ...})");
    return faults;
  }
  check_members(document.get(), kNetworkFields, file + ": ", faults);
  json_object *sensors = member(document.get(), "Sensors");
  if (sensors != nullptr && json_object_is_type(sensors, json_type_array)) check_sensors(sensors, file, faults);
  return faults;
}

std::vector<std::string> check_network_file(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {path + ": cannot be read: " + std::strerror(errno)};
  if (!S_ISREG(info.st_mode)) return {path + ": cannot be read: not a regular file"};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {path + ": cannot be read: " + std::strerror(errno)};
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) return {path + ": cannot be read"};
  return check_network_text(text.str(), path);
}

}  // namespace sim
