#include "shared/device_list_guard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "shared/device_list.h"

namespace vorn::shared {

namespace {

struct GuardSegment {
  pthread_mutex_t locks[kDeviceListEntries];
};

GuardSegment *guard = nullptr;  // mapped once per process; inherited across fork

GuardSegment *map_guard(int flags) {
  int fd = shm_open(kDeviceListGuardName, flags, 0600);
  if (fd < 0) return nullptr;
  if ((flags & O_CREAT) && ftruncate(fd, sizeof(GuardSegment)) != 0) {
    close(fd);
    return nullptr;
  }
  void *p = mmap(nullptr, sizeof(GuardSegment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<GuardSegment *>(p);
}

GuardSegment *attached_guard() {
  if (guard == nullptr) guard = map_guard(O_RDWR);
  return guard;
}

}  // namespace

void create_device_list_guard() {
  shm_unlink(kDeviceListGuardName);
  if (guard != nullptr) {
    munmap(guard, sizeof(GuardSegment));
    guard = nullptr;
  }
  GuardSegment *fresh = map_guard(O_RDWR | O_CREAT | O_EXCL);
  if (fresh == nullptr) {
    perror("DeviceList guard: cannot create");
    return;  // entries then go unguarded, as before this guard existed
  }
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  for (auto &lock : fresh->locks) pthread_mutex_init(&lock, &attributes);
  pthread_mutexattr_destroy(&attributes);
  guard = fresh;
}

void remove_device_list_guard() { shm_unlink(kDeviceListGuardName); }

DeviceEntryLock::DeviceEntryLock(int index) : mutex_(nullptr) {
  GuardSegment *segment = attached_guard();
  if (segment == nullptr || index < 0 || index >= kDeviceListEntries) return;
  mutex_ = &segment->locks[index];
  // Holders keep it for a few field updates; one that keeps it this long is stopped or hung.
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += kEntryLockWaitSeconds;
  int rc;
  while ((rc = pthread_mutex_timedlock(mutex_, &until)) == EINTR) {
  }
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(mutex_);  // its holder died mid-update
  } else if (rc != 0) {
    if (rc == ETIMEDOUT)
      std::fprintf(stderr, "DeviceList entry %d: its guard stayed taken for %d s, going on without it\n", index,
                   kEntryLockWaitSeconds);
    mutex_ = nullptr;
  }
}

DeviceEntryLock::~DeviceEntryLock() {
  if (mutex_ != nullptr) pthread_mutex_unlock(mutex_);
}

}  // namespace vorn::shared
