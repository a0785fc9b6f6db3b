// The simulated network as configured: /etc/collector_sim.json, or the built-in default network.
//
// {
//   "TimeScale": 20,            simulated seconds per real second (intervals and permits shrink)
//   "NotActiveAfter": 3,        missed intervals after which a silent sensor is reported not active
//   "JoinSpacing": 0.5,         real seconds between the joins of the configured sensors
//   "Coprocessor": {"ExtAddress": "00124B000F0E0D0C", "PanID": 4660, "Channel": 3,
//                   "FirmwareVersion": "2.3.0.5", "ModelName": "VORN-COPRO"},
//   "Sensors": [ { ...one sensor, see parse_sensor... } ]   absent: the built-in default sensors
// }
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ChannelConfig {
  std::string name;
  std::uint8_t type = 1;
  std::string unit;
  double base = 20;       // the reading swings around this value ...
  double amplitude = 2;   // ... by this much ...
  double period = 3600;   // ... over this many simulated seconds
};

// The two firmware styles: later firmware announces itself with an Identification Request and
// reports float values; firmware 1.1.0.2 sends SensorData first and answers a configuration
// request with ConfigRsp.
enum class SensorStyle { kIdentifying, kConfigResponse };
// How a sensor delivers its readings: one SensorData per interval, or Data Frame Requests that
// carry several buffered records.
enum class FrameKind { kLive, kBuffered };

struct FailedChannel {
  int channel = 0;
  int code = 1;
};

struct SensorConfig {
  std::uint8_t ext_address[8] = {};  // least-significant byte first
  std::uint16_t short_address = 0;
  SensorStyle style = SensorStyle::kIdentifying;
  FrameKind frames = FrameKind::kLive;
  bool fixed_point = false;    // later firmware without Extension_Status bit 14
  bool extended_frame = false; // SensorData with FrameCtl 0x0078 instead of 0x0060
  std::string manufacturer = "Vorn Sensors", model_name, model_number, device_name;
  std::uint8_t model_version[4] = {2, 5, 2, 4};
  std::uint8_t sensor_version[4] = {1, 0, 0, 0};
  int event_interval = 60;  // simulated seconds
  int records = 3;          // buffered sensors: records per Data Frame Request
  bool logged = true;       // buffered sensors: records are logged data (no alarms, sent to the cloud)
  double battery = 3.6;
  int rssi = -60;
  int op_temperature = 24;
  double op_voltage = 3.3;
  int clock_offset = 0;  // seconds the sensor's clock is off at start
  bool silent = false;
  std::vector<FailedChannel> failed;
  std::vector<ChannelConfig> channels;
};

struct CoprocessorConfig {
  std::uint8_t ext_address[8] = {0x0C, 0x0D, 0x0E, 0x0F, 0x00, 0x4B, 0x12, 0x00};
  std::uint16_t pan_id = 0x1234;
  std::uint8_t channel = 3;
  std::uint8_t firmware_version[4] = {2, 3, 0, 5};
  std::string model_name = "VORN-COPRO";
};

struct NetworkConfig {
  double time_scale = 20;
  int not_active_after = 3;
  double join_spacing = 0.5;
  CoprocessorConfig coprocessor;
  std::vector<SensorConfig> sensors;
};

// The network from the JSON file at path, or the default network when the file is absent.
// A file that cannot be read or parsed is reported on stderr and the default is used.
NetworkConfig load_network_config(const char *path);
NetworkConfig default_network();

// One sensor from its JSON object:
//   "ExtAddress" (16 hex digits, required), "ShortAddress" (hex text or number, required),
//   "Style" ("identification" | "config"), "Frames" ("live" | "buffered"), "FixedPoint",
//   "ExtendedFrame", "Manufacturer", "ModelName", "ModelNumber", "DeviceName", "ModelVersion" and
//   "SensorVersion" ("a.b.c.d"), "EventInterval", "Records", "Logged", "Battery", "RSSI",
//   "OpTemperature", "OpVoltage", "ClockOffset", "Silent", "Failed": [{"Channel","Code"}],
//   "Channels": [{"Name","Type","Unit","Base","Amplitude","Period"}] (1 to 10; at most 4 for
//   the config style). Fields not given keep the defaults of SensorConfig. On a bad sensor the
//   reason goes to error and nothing is returned.
std::optional<SensorConfig> parse_sensor(json_object *object, std::string &error);

bool parse_ext_address(const std::string &text, std::uint8_t *out);
std::string ext_address_text(const std::uint8_t *ext_address);
bool parse_version(const std::string &text, std::uint8_t *out);
std::string version_text(const std::uint8_t *version);

}  // namespace sim
