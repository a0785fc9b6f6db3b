// The one lock every write sequence to sensorlist runs under (uci add, set, delete, then the
// commit), in every process. The router's uci tool merges staged changes into the file with no
// lock across processes: a change staged while another process commits can vanish without an
// error, and a section added while another process commits can lose the options then set on it.
// Reads take no lock. It is a file lock held only by the process making the writes. The main
// process never takes it: its threads fork, and a thread blocked while holding it would stall
// every writer; it makes its writes in a child (run_and_wait_in_child).
//
// Both waits are bounded. uci locks the package's file itself while it reads or commits it, and
// another program may hold that lock: a sequence waits for it before it begins, at most
// kUciLockWait, and when it stays taken the sequence's uci commands are not run (the commit says
// so and counts it: devices/sensorlist_store.h). Our own lock is waited for longer than any holder
// waits for uci's; a holder that keeps it beyond that is stuck, and the writes go on without it.
#pragma once

#include <chrono>

namespace vorn::core {

constexpr const char *kSensorlistLockPath = "/var/run/vorn_mgr_sensorlist.lock";
// The file uci locks for the package (shared to read it, exclusive to commit it).
constexpr const char *kUciSensorlistFile = "/etc/config/sensorlist";
constexpr std::chrono::milliseconds kUciLockWait{60'000};
constexpr std::chrono::milliseconds kSensorlistLockWait{90'000};

class SensorlistWriteLock {
 public:
  // Waits for the lock, then for uci's. Taken again in the same process it only counts, so a write
  // sequence may call a helper that takes it too. When the lock file cannot be had, or stays taken
  // beyond `wait`, the writes go on unlocked, with one line on standard error.
  explicit SensorlistWriteLock(std::chrono::milliseconds wait = kSensorlistLockWait,
                               std::chrono::milliseconds uci_wait = kUciLockWait);
  ~SensorlistWriteLock();
  SensorlistWriteLock(const SensorlistWriteLock &) = delete;
  SensorlistWriteLock &operator=(const SensorlistWriteLock &) = delete;
};

// Inside a SensorlistWriteLock: true when uci's lock stayed with another program for as long as
// the sequence waited (seconds in `waited`); its uci commands are then left out.
bool uci_lock_stayed_taken(long long *waited = nullptr);

// In a new child: the descriptor inherited from the parent is closed (the parent keeps the lock).
void forget_sensorlist_lock_in_child();

}  // namespace vorn::core
