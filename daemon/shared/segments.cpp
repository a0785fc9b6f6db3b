#include "shared/segments.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/daemon_state.h"
#include "core/link_semaphore.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/status_counters.h"
#include "shared/txq.h"

namespace vorn::shared {

using core::daemon_state;

SegmentAttachment::SegmentAttachment(int segment_id) : address_(shmat(segment_id, nullptr, 0)) {
  if (address_ == reinterpret_cast<void *>(-1)) {
    perror("shmat failed\n");
    std::exit(1);
  }
}

SegmentAttachment::~SegmentAttachment() {
  if (address_ != nullptr) detach();
}

bool SegmentAttachment::detach() {
  if (address_ == nullptr) return true;
  void *address = address_;
  address_ = nullptr;
  if (shmdt(address) == -1) {
    perror("shmdt failed\n");
    return false;
  }
  return true;
}

namespace {

int create_and_wipe(key_t key, std::size_t size) {
  int id = shmget(key, size, kSegmentFlags);
  if (id == -1) {
    perror("shmget failed\n");
    std::exit(1);
  }
  SegmentAttachment segment(id);
  std::memset(segment.address(), 0, size);
  return id;
}

}  // namespace

void create_shared_state() {
  daemon_state.txq_segment_id = create_and_wipe(kTxqKey, sizeof(TxqSegment));
  daemon_state.device_list_segment_id = create_and_wipe(kDeviceListKey, sizeof(DeviceListSegment));
  create_device_list_guard();
  shared::create_status_counters();
}

int open_link_semaphore() {
  sem_unlink(kLinkSemaphoreName);  // a stale one may be stuck at 0
  sem_t *semaphore = sem_open(kLinkSemaphoreName, O_CREAT | O_EXCL, 0666, 1);
  if (semaphore == SEM_FAILED) semaphore = sem_open(kLinkSemaphoreName, 0);
  if (semaphore == SEM_FAILED) return -1;
  if (daemon_state.link_holder == nullptr) core::create_link_holder();
  daemon_state.link_semaphore = semaphore;
  return 0;
}

void remove_shared_state() {
  if (shmctl(daemon_state.txq_segment_id, IPC_RMID, nullptr) == -1)
    perror("TXQ: shmctl delete shared memory failed\n");
  if (shmctl(daemon_state.device_list_segment_id, IPC_RMID, nullptr) == -1)
    perror("DL: shmctl delete shared memory failed\n");
  remove_device_list_guard();
}

}  // namespace vorn::shared
