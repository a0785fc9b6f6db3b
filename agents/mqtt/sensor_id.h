// Sensor ids as the daemon writes them: 16 hexadecimal digits, most-significant byte first.
#pragma once

#include <string>

namespace mqtt_agent {

inline bool is_sensor_id(const std::string &id) {
  if (id.size() != 16) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

inline std::string upper_sensor_id(std::string id) {
  for (char &c : id)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return id;
}

}  // namespace mqtt_agent
