// A sensor's sensorlist section: made sure of under a lock per sensor. Handler processes of one
// sensor run in parallel: a join and a re-join back to back would otherwise both find no section
// and both add one, and an identification handled while the join still waits for its database file
// would write its options to a section that does not exist yet. Handlers of different sensors
// never wait for each other.
#pragma once

#include <chrono>
#include <cstdint>

namespace vorn::devices {

constexpr const char *kSensorLockFormat = "/var/run/vorn_mgr_%s.lock";
// Longer than a holder waits for the sensorlist's locks within it (core/sensorlist_lock.h).
constexpr std::chrono::milliseconds kSensorLockWait{180'000};

class SensorSectionLock {
 public:
  // Waits for the lock of the sensor named by its 16-digit ExtAddress text. When the lock file
  // cannot be had, or stays taken beyond `wait` (its holder is stuck), the section is changed
  // unlocked, with one line on standard error.
  explicit SensorSectionLock(const char *ext_address_text, std::chrono::milliseconds wait = kSensorLockWait);
  ~SensorSectionLock();
  SensorSectionLock(const SensorSectionLock &) = delete;
  SensorSectionLock &operator=(const SensorSectionLock &) = delete;

 private:
  int fd_ = -1;
};

enum class SectionLookup {
  kPresent,  // the section was there
  kAdded,    // it was not, and "uci -q add" has been run
  kUnknown,  // the lookup could not be run: nothing was added, to never make a second section
};

// Adds the sensor's section when "uci -q get sensorlist.@<id>[]" names none. The caller holds the
// sensor's SensorSectionLock and commits.
SectionLookup add_section_if_missing(const char *ext_address_text);

}  // namespace vorn::devices
