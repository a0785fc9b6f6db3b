// The daemon's sensor list, /etc/config/sensorlist, read in-process (no configuration tool run per
// lookup) and read again only when the file changed. The daemon writes it through the
// configuration tool; the agent only reads the committed file.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <map>
#include <optional>
#include <string>

namespace mqtt_agent {

struct StoredSensor {
  std::string short_address;  // "%04X"; the daemon takes commands only for a sensor that has one
  std::string name;           // DeviceName, "" when none
  std::optional<int> interval;         // EventInterval, as the sensor last reported it
  std::optional<int> interval_wanted;  // EventIntervalUserWanted, as last asked for
};

// The sensor sections (type: 16 hexadecimal digits) of a package file's text, by id. Statements
// that are not understood are skipped.
std::map<std::string, StoredSensor> parse_sensor_list(const std::string &text);

class SensorList {
 public:
  explicit SensorList(std::string path = "/etc/config/sensorlist") : path_(std::move(path)) {}

  // The sensor's entry, nothing when the list does not hold it.
  std::optional<StoredSensor> find(const std::string &id);
  // Whether the daemon holds the sensor with a short address (and so takes commands for it).
  bool knows(const std::string &id);
  // Every sensor of the list.
  const std::map<std::string, StoredSensor> &all();

 private:
  void refresh();

  std::string path_;
  bool loaded_ = false;
  ino_t inode_ = 0;
  off_t size_ = -1;
  timespec modified_{};
  std::map<std::string, StoredSensor> sensors_;
};

}  // namespace mqtt_agent
