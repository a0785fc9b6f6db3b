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
