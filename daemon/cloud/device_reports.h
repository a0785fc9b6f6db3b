// Reports to the cloud about a sensor: membership, channel lists, settings, device information and
// channel alarms. Each builds one envelope and sends it to the cloud agent's "transmit".
#pragma once

#include "shared/sensor_report.h"

namespace vorn::cloud {

// Type 0: the sensor joined / left. Nothing for a null report.
void report_joined(const shared::SensorReport *report);
void report_left(const shared::SensorReport *report);

// Type 1: the channel list from the channel types (nothing without channels), or from the
// channel metadata the sensor sent (the caller makes sure it exists).
void report_channel_list(const shared::SensorReport *report);
void report_channel_list_meta(const shared::SensorReport *report);

// Type 2: the sensor's settings; nothing when its event interval is 0.
void report_settings(const shared::SensorReport *report);

// Type 3: battery, voltages, temperature and versions; nothing when the op temperature is 0.
void report_device_info(const shared::SensorReport *report);

// Type 6: an event (alarm) on one channel.
void report_channel_event(const shared::SensorReport *report, int channel, int event_type, const char *value,
                          int level, const char *message);

}  // namespace vorn::cloud
