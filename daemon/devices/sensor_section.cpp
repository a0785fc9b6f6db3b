#include "devices/sensor_section.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/ext_address.h"
#include "core/file_lock.h"
#include "devices/sensorlist_store.h"

namespace vorn::devices {

SensorSectionLock::SensorSectionLock(const char *ext_address_text, std::chrono::milliseconds wait) {
  if (!core::is_ext_address_text(ext_address_text)) return;  // never a path from an unchecked text
  char path[64];
  std::snprintf(path, sizeof path, kSensorLockFormat, ext_address_text);
  fd_ = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    std::fprintf(stderr, "sensor lock %s: %s, changing the section unlocked\n", path, std::strerror(errno));
    return;
  }
  if (!core::flock_within(fd_, LOCK_EX, wait)) {
    if (errno == EWOULDBLOCK)
      std::fprintf(stderr, "sensor lock %s: still taken after %lld s, changing the section without it\n", path,
                   core::seconds_of(wait));
    else
      std::fprintf(stderr, "sensor lock %s: %s, changing the section unlocked\n", path, std::strerror(errno));
    close(fd_);
    fd_ = -1;
  }
}

SensorSectionLock::~SensorSectionLock() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the lock
}

SectionLookup add_section_if_missing(const char *ext_address_text) {
  if (!core::is_ext_address_text(ext_address_text)) return SectionLookup::kUnknown;
  char line[128];
  switch (get_line(line, sizeof line, "sensorlist.@%s[]", ext_address_text)) {
    case LineRead::kNotRun: return SectionLookup::kUnknown;
    case LineRead::kLine:
      if (std::strncmp(line, ext_address_text, 16) == 0) return SectionLookup::kPresent;
      break;
    case LineRead::kNoLine: break;
  }
  add_sensor_section(ext_address_text);
  return SectionLookup::kAdded;
}

}  // namespace vorn::devices
