// Reports to the cloud about a sensor's membership.
#pragma once

#include "data/sensor_report.h"

namespace vorn::cloud {

// Tells the cloud that a sensor left the network.
void report_left(const data::SensorReport &report);

}  // namespace vorn::cloud
