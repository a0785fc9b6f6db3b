// The one lock every write sequence to sensorlist runs under (uci add, set, delete, then the
// commit), in every process. The router's uci tool merges staged changes into the file with no
// lock across processes: a change staged while another process commits can vanish without an
// error, and a section added while another process commits can lose the options then set on it.
// Reads take no lock. It is a file lock held only by the process making the writes. The main
// process never takes it: its threads fork, and a thread blocked while holding it would stall
// every writer; it makes its writes in a child (run_and_wait_in_child).
#pragma once

namespace vorn::core {

constexpr const char *kSensorlistLockPath = "/var/run/vorn_mgr_sensorlist.lock";

class SensorlistWriteLock {
 public:
  // Waits for the lock. Taken again in the same process it only counts, so a write sequence may
  // call a helper that takes it too. When the lock file cannot be had the writes go on unlocked,
  // with one line on standard error.
  SensorlistWriteLock();
  ~SensorlistWriteLock();
  SensorlistWriteLock(const SensorlistWriteLock &) = delete;
  SensorlistWriteLock &operator=(const SensorlistWriteLock &) = delete;
};

// In a new child: the descriptor inherited from the parent is closed (the parent keeps the lock).
void forget_sensorlist_lock_in_child();

}  // namespace vorn::core
