// How many channels of a SensorReport a report covers: its channel count, never more than the
// record's arrays hold.
#pragma once

#include "data/sensor_report.h"

namespace vorn::cloud {

inline int reported_channels(const data::SensorReport *report) {
  return report->channel_count < data::kMaxChannels ? report->channel_count : data::kMaxChannels;
}

}  // namespace vorn::cloud
