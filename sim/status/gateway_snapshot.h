// Everything the status view shows, gathered in one pass: the DeviceList, the sensorlist
// configuration, the shared-memory channels of each sensor, the collector simulator's counts and
// the cloud agent's reports.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/device_list.h"
#include "json_doc.h"

namespace sim {

struct ChannelShown {
  std::string name, unit, value;  // value as reported ("NaN" for a channel in error), "" when unknown
  bool alarm = false;
  long long measured = 0;         // unix s of the value, 0 when unknown
};

struct SensorShown {
  std::string id;
  std::optional<DeviceEntry> entry;                // absent: in sensorlist only
  std::map<std::string, std::string> options;      // its sensorlist section
  std::vector<ChannelShown> channels;
  std::map<int, long long> reports;                // cloud reports of the sensor by type
  long long last_seen = 0;                         // unix s of its last frame, 0 when unknown
  std::string availability;                        // "online", "offline", "" when unknown
};

struct GatewaySnapshot {
  bool device_list_present = false;
  std::vector<SensorShown> sensors;
  std::map<std::string, std::string> coprocessor;  // the Coprocessor section of sensorlist
  Json collector;                                  // collector_sim stats, or null
  Json cloud;                                      // cloud_agent report counts, or null
  Json daemon;                                     // the daemon's own status (vorn_mgr status), or null
};

GatewaySnapshot take_snapshot();

// The type texts of the cloud report types.
const char *report_type_name(int type);

// True when the value measured at `measured` is older than the sensor's interval at `now`; false
// when either is unknown.
bool value_is_stale(long long measured, int interval, long long now);

}  // namespace sim
