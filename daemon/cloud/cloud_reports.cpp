#include "cloud/cloud_reports.h"

#include <cstdio>

namespace vorn::cloud {

// Not handled yet: cloud reports are not built; the departure is only logged.
void report_left(const data::SensorReport &report) {
  std::printf("Report of %s leaving not handled yet\n", report.sensor_id);
}

}  // namespace vorn::cloud
