#include "network_config.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "json_doc.h"

namespace sim {

bool parse_ext_address(const std::string &text, std::uint8_t *out) {
  if (text.size() != 16) return false;
  for (int i = 0; i < 8; ++i) {
    unsigned value = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = text[static_cast<std::size_t>(2 * i + k)];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out[7 - i] = static_cast<std::uint8_t>(value);  // the text is most-significant byte first
  }
  return true;
}

std::string ext_address_text(const std::uint8_t *ext_address) {
  char text[17];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X", ext_address[7], ext_address[6], ext_address[5],
                ext_address[4], ext_address[3], ext_address[2], ext_address[1], ext_address[0]);
  return text;
}

bool parse_version(const std::string &text, std::uint8_t *out) {
  unsigned parts[4];
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4) return false;
  for (int i = 0; i < 4; ++i) {
    if (parts[i] > 255) return false;
    out[i] = static_cast<std::uint8_t>(parts[i]);
  }
  return true;
}

std::string version_text(const std::uint8_t *version) {
  char text[20];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", version[0], version[1], version[2], version[3]);
  return text;
}

namespace {

bool bool_member(json_object *object, const char *key, bool fallback) {
  json_object *value = member(object, key);
  return value != nullptr && json_object_is_type(value, json_type_boolean) ? json_object_get_boolean(value) : fallback;
}

bool parse_short_address(json_object *value, std::uint16_t &out) {
  long number = -1;
  if (value != nullptr && json_object_is_type(value, json_type_int)) number = json_object_get_int(value);
  if (value != nullptr && json_object_is_type(value, json_type_string)) {
    char *end = nullptr;
    const char *text = json_object_get_string(value);
    number = std::strtol(text, &end, 16);
    if (*text == '\0' || *end != '\0') number = -1;
  }
  if (number < 1 || number > 0xFFFD) return false;
  out = static_cast<std::uint16_t>(number);
  return true;
}

bool parse_channel(json_object *object, ChannelConfig &channel, std::string &error) {
  channel.name = string_member(object, "Name");
  channel.unit = string_member(object, "Unit");
  const long long type = int_member(object, "Type", -1);
  if (channel.name.empty() || channel.name.size() > 16 || channel.unit.empty() || channel.unit.size() > 4 || type < 0 ||
      type > 255) {
    error = "a channel needs a Name of 1 to 16 characters, a Unit of 1 to 4 and a Type of 0 to 255";
    return false;
  }
  channel.type = static_cast<std::uint8_t>(type);
  channel.base = number_member(object, "Base", channel.base);
  channel.amplitude = number_member(object, "Amplitude", channel.amplitude);
  channel.period = number_member(object, "Period", channel.period);
  if (channel.period <= 0) channel.period = 3600;
  return true;
}

}  // namespace

std::optional<SensorConfig> parse_sensor(json_object *object, std::string &error) {
  SensorConfig sensor;
  if (object == nullptr || !json_object_is_type(object, json_type_object)) {
    error = "a sensor is a JSON object";
    return std::nullopt;
  }
  if (!parse_ext_address(string_member(object, "ExtAddress"), sensor.ext_address)) {
    error = "ExtAddress must be 16 hexadecimal digits";
    return std::nullopt;
  }
  if (!parse_short_address(member(object, "ShortAddress"), sensor.short_address)) {
    error = "ShortAddress must be 0001 to FFFD";
    return std::nullopt;
  }
  const std::string style = string_member(object, "Style", "identification");
  if (style != "identification" && style != "config") {
    error = "Style is \"identification\" or \"config\"";
    return std::nullopt;
  }
  sensor.style = style == "config" ? SensorStyle::kConfigResponse : SensorStyle::kIdentifying;
  if (sensor.style == SensorStyle::kConfigResponse) {
    // The older firmware, unless the file says otherwise.
    const std::uint8_t old_version[4] = {1, 1, 0, 2};
    std::memcpy(sensor.model_version, old_version, 4);
  }
  const std::string frames = string_member(object, "Frames", "live");
  sensor.frames = frames == "buffered" ? FrameKind::kBuffered : FrameKind::kLive;
  if (sensor.frames == FrameKind::kBuffered && sensor.style == SensorStyle::kConfigResponse) {
    error = "buffered records need the identification style (they are named by its channel list)";
    return std::nullopt;
  }
  sensor.fixed_point = bool_member(object, "FixedPoint", false);
  sensor.extended_frame = bool_member(object, "ExtendedFrame", false);
  sensor.manufacturer = string_member(object, "Manufacturer", sensor.manufacturer);
  sensor.model_name = string_member(object, "ModelName", "VT-GENERIC");
  sensor.model_number = string_member(object, "ModelNumber", sensor.model_name);
  sensor.device_name = string_member(object, "DeviceName", "");
  for (const auto &[key, field] : {std::pair{"ModelVersion", sensor.model_version}, std::pair{"SensorVersion", sensor.sensor_version}}) {
    const std::string text = string_member(object, key);
    if (!text.empty() && !parse_version(text, field)) {
      error = std::string(key) + " must be four numbers 0 to 255 joined by points";
      return std::nullopt;
    }
  }
  if (sensor.manufacturer.size() > 32 || sensor.model_name.size() > 32 || sensor.model_number.size() > 32 ||
      sensor.device_name.size() > 16) {
    error = "Manufacturer, ModelName and ModelNumber hold 32 characters, DeviceName 16";
    return std::nullopt;
  }
  sensor.event_interval = static_cast<int>(int_member(object, "EventInterval", sensor.event_interval));
  sensor.records = static_cast<int>(int_member(object, "Records", sensor.records));
  sensor.logged = bool_member(object, "Logged", sensor.logged);
  sensor.battery = number_member(object, "Battery", sensor.battery);
  sensor.rssi = static_cast<int>(int_member(object, "RSSI", sensor.rssi));
  sensor.op_temperature = static_cast<int>(int_member(object, "OpTemperature", sensor.op_temperature));
  sensor.op_voltage = number_member(object, "OpVoltage", sensor.op_voltage);
  sensor.clock_offset = static_cast<int>(int_member(object, "ClockOffset", 0));
  sensor.silent = bool_member(object, "Silent", false);
  struct Range {
    const char *fault;
    double value, low, high;
  };
  const Range ranges[] = {
      {"EventInterval must be 1 to 65535 s", static_cast<double>(sensor.event_interval), 1, 65535},
      {"Records must be 1 to 8", static_cast<double>(sensor.records), 1, 8},
      {"RSSI must be -128 to 127", static_cast<double>(sensor.rssi), -128, 127},
      {"OpTemperature must be -128 to 127", static_cast<double>(sensor.op_temperature), -128, 127},
      {"Battery must be 0 to 25 V", sensor.battery, 0, 25},
  };
  for (const Range &range : ranges) {
    if (!(range.value >= range.low && range.value <= range.high)) {
      error = range.fault;
      return std::nullopt;
    }
  }
  json_object *channels = member(object, "Channels");
  const std::size_t limit = sensor.style == SensorStyle::kConfigResponse ? 4 : 10;
  if (channels == nullptr || !json_object_is_type(channels, json_type_array) || json_object_array_length(channels) < 1 ||
      json_object_array_length(channels) > limit) {
    error = sensor.style == SensorStyle::kConfigResponse ? "Channels: 1 to 4 for the config style" : "Channels: 1 to 10";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < json_object_array_length(channels); ++i) {
    ChannelConfig channel;
    if (!parse_channel(json_object_array_get_idx(channels, i), channel, error)) return std::nullopt;
    sensor.channels.push_back(channel);
  }
  json_object *failed = member(object, "Failed");
  for (std::size_t i = 0; failed != nullptr && json_object_is_type(failed, json_type_array) &&
                          i < json_object_array_length(failed);
       ++i) {
    json_object *entry = json_object_array_get_idx(failed, i);
    FailedChannel fault{static_cast<int>(int_member(entry, "Channel", -1)), static_cast<int>(int_member(entry, "Code", 1))};
    if (fault.channel < 0 || fault.channel >= static_cast<int>(sensor.channels.size()) || fault.code < 0 ||
        fault.code > 0xFFFF) {
      error = "Failed: Channel must name one of the sensor's channels, Code 0 to 65535";
      return std::nullopt;
    }
    sensor.failed.push_back(fault);
  }
  return sensor;
}

namespace {

// The default network: both firmware styles, live and buffered sensors, and a spread of channel
// types whose names and units are those of the factory units map.
const char *const kDefaultSensors = R"([
 {"ExtAddress":"00124B0001A2B301","ShortAddress":"0001","ModelName":"VT-TH100","DeviceName":"Office",
  "ModelVersion":"2.5.2.4","SensorVersion":"1.0.3.0","EventInterval":60,"Battery":3.6,"RSSI":-52,
  "Channels":[{"Name":"Temperature","Type":1,"Unit":"°C","Base":21.5,"Amplitude":1.5,"Period":1800},
              {"Name":"Humidity","Type":2,"Unit":"%RH","Base":45,"Amplitude":8,"Period":2400}]},
 {"ExtAddress":"00124B0001A2B302","ShortAddress":"0002","ModelName":"VT-PT200","DeviceName":"Boiler",
  "ModelVersion":"3.1.0.0","SensorVersion":"2.0.1.0","Frames":"buffered","Records":3,"Logged":true,
  "EventInterval":120,"Battery":3.5,"RSSI":-61,
  "Channels":[{"Name":"Pressure","Type":3,"Unit":"kPa","Base":250,"Amplitude":20,"Period":3000},
              {"Name":"Water temp","Type":1,"Unit":"°C","Base":62,"Amplitude":4,"Period":2000}]},
 {"ExtAddress":"00124B0001A2B303","ShortAddress":"0003","Style":"config","ModelName":"VS-ENV1",
  "ModelNumber":"VS-ENV1-A","SensorVersion":"1.0.0.7","EventInterval":60,"Battery":3.3,"RSSI":-70,
  "ClockOffset":400,
  "Channels":[{"Name":"Temperature","Type":1,"Unit":"°C","Base":19,"Amplitude":2,"Period":1500},
              {"Name":"Humidity","Type":2,"Unit":"%RH","Base":55,"Amplitude":5,"Period":2000},
              {"Name":"CO2","Type":5,"Unit":"ppm","Base":650,"Amplitude":150,"Period":2500}]},
 {"ExtAddress":"00124B0001A2B304","ShortAddress":"0004","Style":"config","ModelName":"VS-PWR1",
  "ModelNumber":"VS-PWR1-B","SensorVersion":"1.0.0.7","EventInterval":90,"Battery":3.1,"RSSI":-66,
  "Channels":[{"Name":"Voltage","Type":6,"Unit":"V","Base":230,"Amplitude":3,"Period":900},
              {"Name":"Current","Type":7,"Unit":"mA","Base":850,"Amplitude":300,"Period":1200}]},
 {"ExtAddress":"00124B0001A2B305","ShortAddress":"0005","ModelName":"VT-VB300","DeviceName":"Pump 1",
  "ModelVersion":"2.6.0.1","SensorVersion":"1.2.0.0","Frames":"buffered","Records":2,"Logged":false,
  "EventInterval":60,"Battery":3.4,"RSSI":-58,
  "Channels":[{"Name":"Vibration","Type":14,"Unit":"mm/s","Base":4.5,"Amplitude":2,"Period":600},
              {"Name":"Acceleration","Type":15,"Unit":"g","Base":0.8,"Amplitude":0.3,"Period":700},
              {"Name":"Bearing temp","Type":1,"Unit":"°C","Base":48,"Amplitude":6,"Period":2400}]},
 {"ExtAddress":"00124B0001A2B306","ShortAddress":"0006","ModelName":"VT-LN100","DeviceName":"Hall",
  "ModelVersion":"2.5.2.4","SensorVersion":"1.0.3.0","FixedPoint":true,"EventInterval":60,"Battery":3.6,
  "RSSI":-49,
  "Channels":[{"Name":"Illuminance","Type":10,"Unit":"lx","Base":420,"Amplitude":300,"Period":3600},
              {"Name":"Noise","Type":21,"Unit":"dB","Base":48,"Amplitude":10,"Period":900}]},
 {"ExtAddress":"00124B0001A2B307","ShortAddress":"0007","Style":"config","ModelName":"VS-SOIL1",
  "ModelNumber":"VS-SOIL1-C","SensorVersion":"1.0.0.7","EventInterval":120,"Battery":3.2,"RSSI":-77,
  "Channels":[{"Name":"Soil moisture","Type":22,"Unit":"%VWC","Base":31,"Amplitude":6,"Period":3600},
              {"Name":"Soil temp","Type":1,"Unit":"°C","Base":12,"Amplitude":3,"Period":3000},
              {"Name":"pH","Type":24,"Unit":"pH","Base":6.6,"Amplitude":0.3,"Period":5000}]},
 {"ExtAddress":"00124B0001A2B308","ShortAddress":"0008","ModelName":"QX-LVL200","DeviceName":"Tank",
  "ModelVersion":"5.1.0.7","SensorVersion":"3.0.0.2","ExtendedFrame":true,"EventInterval":60,"Battery":3.6,
  "RSSI":-63,
  "Channels":[{"Name":"Level","Type":13,"Unit":"m","Base":2.4,"Amplitude":0.6,"Period":2400},
              {"Name":"Flow","Type":9,"Unit":"m3/h","Base":3.5,"Amplitude":1.2,"Period":1200}]},
 {"ExtAddress":"00124B0001A2B309","ShortAddress":"0009","ModelName":"VT-AQ500","DeviceName":"Lab air",
  "ModelVersion":"3.0.1.2","SensorVersion":"1.1.0.0","Frames":"buffered","Records":3,"Logged":true,
  "EventInterval":120,"Battery":3.5,"RSSI":-68,
  "Channels":[{"Name":"CO2","Type":5,"Unit":"ppm","Base":820,"Amplitude":240,"Period":1800},
              {"Name":"TVOC","Type":20,"Unit":"ppb","Base":180,"Amplitude":60,"Period":2700},
              {"Name":"Humidity","Type":2,"Unit":"%RH","Base":38,"Amplitude":6,"Period":2400}]},
 {"ExtAddress":"00124B0001A2B30A","ShortAddress":"000A","Style":"config","ModelName":"VS-FRZ2",
  "ModelNumber":"VS-FRZ2-A","SensorVersion":"1.0.0.7","EventInterval":60,"Battery":3.0,"RSSI":-72,
  "Channels":[{"Name":"Freezer","Type":1,"Unit":"°C","Base":-18,"Amplitude":2,"Period":1200},
              {"Name":"Fridge","Type":1,"Unit":"°C","Base":4,"Amplitude":1,"Period":1500}]}
])";

void read_coprocessor(json_object *object, CoprocessorConfig &coprocessor) {
  if (object == nullptr) return;
  parse_ext_address(string_member(object, "ExtAddress"), coprocessor.ext_address);
  coprocessor.pan_id = static_cast<std::uint16_t>(int_member(object, "PanID", coprocessor.pan_id));
  coprocessor.channel = static_cast<std::uint8_t>(int_member(object, "Channel", coprocessor.channel));
  const std::string version = string_member(object, "FirmwareVersion");
  if (!version.empty()) parse_version(version, coprocessor.firmware_version);
  coprocessor.model_name = string_member(object, "ModelName", coprocessor.model_name);
}

std::vector<SensorConfig> read_sensors(json_object *array, const char *origin) {
  std::vector<SensorConfig> sensors;
  for (std::size_t i = 0; array != nullptr && i < json_object_array_length(array); ++i) {
    std::string error;
    if (auto sensor = parse_sensor(json_object_array_get_idx(array, i), error)) {
      sensors.push_back(*sensor);
    } else {
      std::fprintf(stderr, "collector: %s: sensor %zu left out: %s\n", origin, i + 1, error.c_str());
    }
  }
  return sensors;
}

}  // namespace

NetworkConfig default_network() {
  NetworkConfig config;
  const Json sensors = parse_json(kDefaultSensors);
  config.sensors = read_sensors(sensors.get(), "default network");
  return config;
}

NetworkConfig load_network_config(const char *path) {
  NetworkConfig config = default_network();
  std::ifstream in(path);
  if (!in) return config;
  std::stringstream text;
  text << in.rdbuf();
  const Json document = parse_json(text.str());
  if (document == nullptr || !json_object_is_type(document.get(), json_type_object)) {
    std::fprintf(stderr, "collector: %s is not a JSON object; using the default network\n", path);
    return config;
  }
  json_object *root = document.get();
  config.time_scale = number_member(root, "TimeScale", config.time_scale);
  if (config.time_scale <= 0 || config.time_scale > 10000) config.time_scale = 1;
  config.not_active_after = static_cast<int>(int_member(root, "NotActiveAfter", config.not_active_after));
  config.join_spacing = number_member(root, "JoinSpacing", config.join_spacing);
  read_coprocessor(member(root, "Coprocessor"), config.coprocessor);
  json_object *sensors = member(root, "Sensors");
  if (sensors != nullptr && json_object_is_type(sensors, json_type_array)) config.sensors = read_sensors(sensors, path);
  return config;
}

}  // namespace sim
