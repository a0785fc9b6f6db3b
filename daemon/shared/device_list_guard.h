// Cross-process guard of DeviceList entries. Handler processes run in parallel and may update the
// same entry; each takes the entry's lock around its update so no reader acts on a half-written
// entry. The locks live in their own shared mapping, so the DeviceList keeps its exact layout.
// They are robust: a process that dies holding one does not block the others.
#pragma once

#include <pthread.h>

namespace vorn::shared {

constexpr const char *kDeviceListGuardName = "/vorn_mgr_dl_guard";

// Main process at start-up, before any fork: a fresh set of locks.
void create_device_list_guard();
// Shutdown: forget the set (processes still mapping it keep their copy).
void remove_device_list_guard();

constexpr int kEntryLockWaitSeconds = 10;

class DeviceEntryLock {
 public:
  // Waits at most kEntryLockWaitSeconds; past that the entry is used unguarded, with one line.
  explicit DeviceEntryLock(int index);
  ~DeviceEntryLock();
  DeviceEntryLock(const DeviceEntryLock &) = delete;
  DeviceEntryLock &operator=(const DeviceEntryLock &) = delete;

 private:
  pthread_mutex_t *mutex_;
};

}  // namespace vorn::shared
