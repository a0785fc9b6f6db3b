#include "core/sensorlist_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/file_lock.h"

namespace vorn::core {

namespace {

// The processes taking the lock (handlers, the command process and their children) run one
// thread; the count, descriptor and what became of uci's lock are theirs alone.
int lock_fd = -1;
int lock_depth = 0;
bool uci_locked_out = false;
long long uci_waited = 0;

}  // namespace

SensorlistWriteLock::SensorlistWriteLock(std::chrono::milliseconds wait, std::chrono::milliseconds uci_wait) {
  if (lock_depth++ > 0) return;
  lock_fd = open(kSensorlistLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd < 0) {
    std::fprintf(stderr, "sensorlist lock: %s, writing unlocked\n", std::strerror(errno));
  } else if (!flock_within(lock_fd, LOCK_EX, wait)) {
    if (errno == EWOULDBLOCK)
      std::fprintf(stderr, "sensorlist lock: still taken after %lld s, writing without it\n", seconds_of(wait));
    else
      std::fprintf(stderr, "sensorlist lock: %s, writing unlocked\n", std::strerror(errno));
    close(lock_fd);
    lock_fd = -1;
  }
  uci_locked_out = !wait_until_unlocked(kUciSensorlistFile, uci_wait);
  uci_waited = seconds_of(uci_wait);
}

SensorlistWriteLock::~SensorlistWriteLock() {
  if (--lock_depth > 0) return;
  if (lock_fd >= 0) close(lock_fd);  // closing the last descriptor releases the lock
  lock_fd = -1;
  uci_locked_out = false;
}

bool uci_lock_stayed_taken(long long *waited) {
  if (waited != nullptr) *waited = uci_waited;
  return lock_depth > 0 && uci_locked_out;
}

void forget_sensorlist_lock_in_child() {
  // Only close: unlocking would release the lock the parent still holds through the same file.
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
  lock_depth = 0;
  uci_locked_out = false;
}

}  // namespace vorn::core
