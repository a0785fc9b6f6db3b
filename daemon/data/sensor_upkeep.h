// What a sensor's own frames are used for: carrying out a pending removal, setting its clock and
// its event interval, and asking for its configuration.
#pragma once

#include <cstdint>

#include "shared/device_list.h"

namespace vorn::data {

struct SensorFrame;

// A sensor reporting this often or faster (seconds) is asked for its configuration hourly.
constexpr int kFastInterval = 119;
constexpr std::int64_t kConfigRequestPeriod = 3600;

// The sensor's RemoveSensor option (0 when absent, or for an id that is not 16 hex digits).
int read_remove_sensor(const char *ext_address_text);

// When the cloud asked to remove the sensor: sends the removal and answers true; the frame's
// handling then ends there.
bool removal_requested(const SensorFrame &frame);

// Sets the sensor's clock: seconds since 2000-01-01 00:00:00 UTC.
void send_sync_time(std::uint16_t short_address);

// Sets the sensor's clock and notes it in its entry: no synchronisation is owed any more and the
// last one was at `now`. Every path that sets a sensor's clock goes through here, so a flag raised
// by a data frame never outlives the synchronisation it asks for.
void sync_sensor_clock(SensorFrame &frame, std::int64_t now);

// Sets the clock when a synchronisation is still owed; the flag is claimed under the entry's
// guard, so of two handlers only one sends it. True when it was sent.
bool sync_owed_clock(SensorFrame &frame, std::int64_t now);

// The largest interval a sensor can hold: it reports its interval in 16 bits.
constexpr int kLongestEventInterval = 65535;

// Why an event interval cannot be asked of a sensor (0 or less, or above 65535 s); null when it can.
const char *event_interval_refusal(std::int64_t interval);

// Asks the sensor to report every `interval` seconds; nothing for 0 or less.
void send_event_interval(std::uint16_t short_address, int interval);

// Sends the interval the user wants when the sensor reports another one (and reports one at all).
// 1 when the request was sent.
int reconcile_event_interval(std::uint16_t short_address, const char *ext_address_text, int current);

// Asks a sensor for its configuration when an interval request was just sent or a time
// synchronisation is owed, or when a fast-reporting sensor (119 s or less) was last asked an
// hour ago or more. `entry` is the caller's copy of the sensor's entry.
void config_request_rule(std::uint16_t short_address, const shared::DeviceListEntry &entry, int interval_sent);

}  // namespace vorn::data
