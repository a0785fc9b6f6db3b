// What the agent knows of one sensor, built from the reports the daemon hands to the bus object and
// from the sensor's live-value channel, and the state document published for it.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mqtt_agent {

struct ChannelState {
  std::string name, type_text, unit;
  std::optional<double> value;  // absent: no valid reading yet, or the channel is in error
  bool in_error = false;
};

struct AlarmState {
  std::string alarm, message;
  std::time_t time = 0;
};

struct SensorState {
  std::string id;
  std::string short_address, manufacturer, model, firmware, rf_firmware;
  std::string name;            // the name the gateway stores for the sensor; "" none
  std::vector<ChannelState> channels;
  std::map<std::string, AlarmState> alarms;  // by channel name, while the channel is in error
  std::optional<double> battery;
  std::optional<int> rssi, power_source;
  int interval = 0;            // event interval in seconds, 0 unknown
  std::time_t last_seen = 0;   // 0: never
  bool present = true;         // false once it has left or was removed
  std::string live_text;       // last content of the live-value channel, to notice a new reading
};

// What a report changed, so the caller knows what to publish beside the state.
enum class ReportEffect { none, state, joined, left, channels };

// Applies one report of the envelope's "Type" with its "Body" text. `now` becomes last_seen.
ReportEffect apply_report(SensorState &sensor, int type, const std::string &body, std::time_t now);

// Applies the content of the sensor's live-value channel (a measured-data body). False when the
// text is no such body or not newer than the last one applied.
bool apply_live_values(SensorState &sensor, const std::string &text, std::time_t now);

// The retained state document: every channel by name with value and unit, alarms, battery, RSSI,
// firmware versions, interval, last_seen (ISO 8601, UTC) and the running number of the message.
std::string state_document(const SensorState &sensor, std::int64_t seq);

// A sensor back from its state document (as kept across restarts); false when the text is none.
bool sensor_from_document(const std::string &text, SensorState &sensor);

// "2026-12-08T08:33:08Z"; "" for 0.
std::string iso_time(std::time_t time);

}  // namespace mqtt_agent
