// The System V segments and the named link semaphore that the daemon's processes share.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace vorn::shared {

constexpr key_t kTxqKey = 5168;
constexpr key_t kDeviceListKey = 5888;
constexpr int kSegmentFlags = 932;  // create if absent, mode 0644
constexpr const char *kLinkSemaphoreName = "/vorn_mgr_sem";

// Creates (or reuses) both segments and wipes them: TXQ first, then DeviceList. Any failure ends
// the process with status 1 after a perror line.
void create_shared_state();

// Creates the link semaphore at 1. A semaphore left by an earlier run is replaced, not reused: a
// run that crashed while holding it would otherwise leave every writer waiting for ever. Only call
// this while no writer exists. Returns 0, or -1 when no semaphore could be had.
int open_link_semaphore();

// Marks both segments for removal (shutdown). Safe in a signal handler.
void remove_shared_state();

// A segment attached for the lifetime of the object. An attach failure ends the process with
// status 1 after "shmat failed\n".
class SegmentAttachment {
 public:
  explicit SegmentAttachment(int segment_id);
  // Detaches when still attached; a failure is reported and the process goes on (a destructor may
  // run while the stack unwinds, where ending the process would skip the other owners).
  ~SegmentAttachment();
  SegmentAttachment(const SegmentAttachment &) = delete;
  SegmentAttachment &operator=(const SegmentAttachment &) = delete;
  void *address() const { return address_; }

  // Detaches now. False after "shmdt failed\n", so a caller whose contract is to end with status 1
  // can do so.
  bool detach();

 private:
  void *address_;
};

}  // namespace vorn::shared
