// Waiting for a file lock (flock) with a limit: a holder that never lets go (stopped, hung, or
// another program's) cannot keep the daemon's processes waiting for good.
#pragma once

#include <chrono>

namespace vorn::core {

// Takes the lock `operation` (LOCK_EX or LOCK_SH) on `fd`, trying again every 10 ms until `limit`
// has passed. False when the time ran out (errno EWOULDBLOCK) or the lock cannot be had at all.
bool flock_within(int fd, int operation, std::chrono::milliseconds limit);

// Waits at most `limit` until no process holds an exclusive lock on the file at `path` (none to
// wait for when it is not there). False when one still does.
bool wait_until_unlocked(const char *path, std::chrono::milliseconds limit);

// Whole seconds of a limit, for the line that says it ran out.
inline long long seconds_of(std::chrono::milliseconds limit) {
  return std::chrono::duration_cast<std::chrono::seconds>(limit).count();
}

}  // namespace vorn::core
