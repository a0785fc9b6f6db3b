#include "core/link_semaphore.h"

#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/daemon_state.h"
#include "core/log_line.h"
#include "core/process_identity.h"

namespace vorn::core {

namespace {

using Clock = std::chrono::steady_clock;

// Releases the semaphore for a holder that has ended inside it. Several waiters may find it at
// once: only the one that moves the entry count on from `entries` releases.
bool release_ended_holder(sem_t *semaphore, LinkHolder *holder, std::uint32_t entries) {
  const pid_t pid = holder->pid.load();
  const std::uint64_t started = std::uint64_t{holder->started_high.load()} << 32 | holder->started_low.load();
  if (pid > 0 && process_running(pid, started)) return false;  // alive, only slow or stopped: not ours
  int value = 0;
  if (sem_getvalue(semaphore, &value) == 0 && value > 0) return false;
  if (!holder->entries.compare_exchange_strong(entries, entries + 1)) return false;
  holder->pid.store(0);
  sem_post(semaphore);
  log_line("The link semaphore was left taken by process %d, which has ended: released\n", static_cast<int>(pid));
  return true;
}

}  // namespace

void create_link_holder() {
  void *mapping = mmap(nullptr, sizeof(LinkHolder), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    std::fprintf(stderr, "link holder record: %s, a writer that dies inside the link semaphore is not seen\n",
                 std::strerror(errno));
    return;
  }
  daemon_state.link_holder = new (mapping) LinkHolder{};
}

bool enter_link() {
  sem_t *semaphore = daemon_state.link_semaphore;
  if (semaphore == nullptr) return true;
  LinkHolder *holder = daemon_state.link_holder;
  const Clock::time_point started = Clock::now();
  std::uint32_t seen_entries = holder ? holder->entries.load() : 0;
  Clock::time_point seen_at = started;
  for (;;) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    if (sem_timedwait(semaphore, &deadline) == 0) {
      if (holder) {
        const std::uint64_t started = own_start_time();
        holder->started_low.store(static_cast<std::uint32_t>(started));
        holder->started_high.store(static_cast<std::uint32_t>(started >> 32));
        holder->pid.store(getpid());
        holder->entries.fetch_add(1);
      }
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != ETIMEDOUT) return false;
    const Clock::time_point now = Clock::now();
    if (holder) {
      const std::uint32_t entries = holder->entries.load();
      if (entries != seen_entries) {
        seen_entries = entries;
        seen_at = now;
      } else if (now - seen_at >= kLinkStuckAfter && release_ended_holder(semaphore, holder, entries)) {
        seen_entries = entries + 1;
        seen_at = now;
        continue;
      }
    }
    if (now - started >= kLinkWaitLimit) return false;
  }
}

void leave_link() {
  sem_t *semaphore = daemon_state.link_semaphore;
  if (semaphore == nullptr) return;
  if (LinkHolder *holder = daemon_state.link_holder) holder->pid.store(0);
  sem_post(semaphore);
}

}  // namespace vorn::core
