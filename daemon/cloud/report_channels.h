// How many channels of a SensorReport a report covers: its channel count, never more than the
// record's arrays hold.
#pragma once

#include "shared/sensor_report.h"

namespace vorn::cloud {

inline int reported_channels(const shared::SensorReport *report) {
  return report->channel_count < shared::kMaxChannels ? report->channel_count : shared::kMaxChannels;
}

}  // namespace vorn::cloud
