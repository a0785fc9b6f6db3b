// Measurement reports: live values to the sensor's shared-memory channel, buffered records to the
// cloud agent.
#pragma once

#include "shared/sensor_report.h"

namespace vorn::cloud {

// The frame's live values, published on the channel named by the sensor id.
void report_live_data(const shared::SensorReport *report);

// The buffered records of a Data Frame Request (the caller makes sure metadata and records exist).
// The agent call's result for logged records, else 0.
int report_buffered_data(const shared::SensorReport *report);

// The buffered records of a Data Frame Request the sensor has been answered for, and so has
// dropped: when the agent left the bus after the readiness check, the report waits for it (every
// 3 s, a minute at most) and is sent again. A call the agent may have taken is not repeated.
void report_answered_records(const shared::SensorReport *report);

// 1 for a null report or when none of its channel values is valid (no channels included).
int all_values_invalid(const shared::SensorReport *report);

}  // namespace vorn::cloud
