#include "core/sensorlist_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn::core {

namespace {

// The processes taking the lock (handlers, the command process and their children) run one
// thread; the count and descriptor are theirs alone.
int lock_fd = -1;
int lock_depth = 0;

}  // namespace

SensorlistWriteLock::SensorlistWriteLock() {
  if (lock_depth++ > 0) return;
  lock_fd = open(kSensorlistLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd < 0) {
    std::fprintf(stderr, "sensorlist lock: %s, writing unlocked\n", std::strerror(errno));
    return;
  }
  while (flock(lock_fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    std::fprintf(stderr, "sensorlist lock: %s, writing unlocked\n", std::strerror(errno));
    close(lock_fd);
    lock_fd = -1;
    return;
  }
}

SensorlistWriteLock::~SensorlistWriteLock() {
  if (--lock_depth > 0) return;
  if (lock_fd >= 0) close(lock_fd);  // closing the last descriptor releases the lock
  lock_fd = -1;
}

void forget_sensorlist_lock_in_child() {
  // Only close: unlocking would release the lock the parent still holds through the same file.
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
  lock_depth = 0;
}

}  // namespace vorn::core
