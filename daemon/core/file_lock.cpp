#include "core/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace vorn::core {

bool flock_within(int fd, int operation, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + limit;
  const timespec step{0, 10'000'000};
  for (;;) {
    if (flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() >= until) {
      errno = EWOULDBLOCK;
      return false;
    }
    nanosleep(&step, nullptr);
  }
}

bool wait_until_unlocked(const char *path, std::chrono::milliseconds limit) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return true;
  // A shared lock is had only when no one holds the exclusive one; it is let go at once.
  const bool free = flock_within(fd, LOCK_SH, limit);
  close(fd);
  return free;
}

}  // namespace vorn::core
