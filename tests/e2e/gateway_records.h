// What the end-to-end tests read of the gateway's own records: its DeviceList entries, the
// platform's download records, and the logged records the cloud agent was sent.
#pragma once

#include <gateway_lib/download_records.h>

#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "../support/shell_and_file_text.h"
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

// Calls fn(time) with the time (Unix seconds) of every logged record the cloud agent was sent of a
// sensor, as often as it was sent.
template <typename Fn>
void for_each_logged_record(const std::string &id, Fn fn) {
  std::istringstream log(vorn::test::file_text("/tmp/cloud_agent/transmit.log"));
  for (std::string line; std::getline(log, line);) {
    const Json envelope = parse_json(line);
    if (string_member(envelope.get(), "ID") != id || int_member(envelope.get(), "Type") != 9) continue;
    const Json body = parse_json(string_member(envelope.get(), "Body"));
    for (std::size_t d = 0; body && d < json_object_array_length(body.get()); ++d) {
      json_object *data = json_object_array_get_idx(body.get(), d);
      const long long base = int_member(data, "BaseTime") / 1000;
      json_object *points = member(json_object_array_get_idx(member(data, "Values"), 0), "Values");
      for (std::size_t p = 0; points != nullptr && p < json_object_array_length(points); ++p)
        fn(base + int_member(json_object_array_get_idx(points, p), "T"));
    }
  }
}

// The distinct times of a sensor's logged records the cloud agent was sent.
inline std::set<long long> logged_record_times(const std::string &id) {
  std::set<long long> times;
  for_each_logged_record(id, [&](long long time) { times.insert(time); });
  return times;
}

}  // namespace sim::test
