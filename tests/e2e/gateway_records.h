// What the end-to-end tests read of the gateway's own records: its DeviceList entries and the
// platform's download records.
#pragma once

#include <gateway_lib/download_records.h>

#include <optional>
#include <string>

#include "common/device_list.h"
#include "json_doc.h"

namespace sim::test {

// The DeviceList entry that holds a sensor, by its id; nothing when none does.
inline std::optional<DeviceEntry> device_entry(const std::string &id) {
  if (const auto entries = read_device_list())
    for (const DeviceEntry &entry : *entries)
      if (entry.ext_address == id) return entry;
  return std::nullopt;
}

inline bool has_oad_record(const char *id) {
  oad_obj record{};
  const bool found = get_oad_sensor(id, &record) == 1;
  free_single_oad_obj(&record);
  return found;
}

}  // namespace sim::test
