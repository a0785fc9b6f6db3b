// The replies of the status object, built from a snapshot of the shared state. Pure functions of
// their inputs, so they can be checked without a bus or a running daemon.
#pragma once

#include <cstdint>

#include "cloud/json_document.h"
#include "shared/device_list.h"
#include "shared/status_counters.h"
#include "shared/txq.h"

namespace vorn::status {

constexpr const char *kDaemonVersion = "1.0.0";
constexpr int kSensorLimit = shared::kLastShortAddress;
// A sensor counts as gone once this many of its intervals have passed without a frame.
constexpr std::uint32_t kMissedIntervals = 3;

struct StatusInputs {
  const shared::StatusCounters *counters = nullptr;       // null: every counter reads 0
  const char *gateway_id = "";
  const shared::DeviceListSegment *device_list = nullptr;  // null: no sensors
  const shared::TxqSegment *txq = nullptr;                 // null: no free slot known
  int sensorlist_sensors = 0;
  int start_count = 0;  // the coprocessor's StartCount in sensorlist: daemon starts since it last answered
  int pending_downloads = 0;
  int answers_held = 0;   // handlers holding answered records for the cloud agent
  int answer_limit = 0;   // the most that may
  std::uint32_t uptime = 0;
  std::uint32_t now_unix = 0;
};

// "online" or "offline": offline after a not-active indication, or once kMissedIntervals intervals
// passed since the last frame (since the daemon's start for a sensor not heard yet). A sensor
// without a known interval stays online until it is reported not active.
const char *availability(std::uint32_t last_seen, bool not_active, std::int32_t interval, std::uint32_t now_unix,
                         std::uint32_t started_unix);

const char *report_state_name(std::uint8_t report_state);

cloud::JsonPtr status_document(const StatusInputs &inputs);
cloud::JsonPtr sensors_document(const StatusInputs &inputs);

}  // namespace vorn::status
