// A lock per sensor around the check-add-set-commit of its sensorlist section. Handler processes
// of one sensor (a join and a re-join back to back) would otherwise both find no section and both
// add one; handlers of different sensors never wait for each other.
#pragma once

namespace vorn::devices {

constexpr const char *kSensorLockFormat = "/var/run/vorn_mgr_%s.lock";

class SensorSectionLock {
 public:
  // Waits for the lock of the sensor named by its 16-digit ExtAddress text. When the lock file
  // cannot be had the section is changed unlocked, with one line on standard error.
  explicit SensorSectionLock(const char *ext_address_text);
  ~SensorSectionLock();
  SensorSectionLock(const SensorSectionLock &) = delete;
  SensorSectionLock &operator=(const SensorSectionLock &) = delete;

 private:
  int fd_ = -1;
};

}  // namespace vorn::devices
