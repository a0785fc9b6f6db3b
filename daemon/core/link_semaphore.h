// The link semaphore: every frame to the collector is one write under "/vorn_mgr_sem". Writers
// are many processes (the transmit thread, handlers), any of which may die inside it, so the
// semaphore's holder is recorded where every writer sees it, by its process id and start time (an
// id given to another process since does not pass for the holder): a waiter that finds the
// semaphore taken for long by a process that has ended releases it, once, and says so.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vorn::core {

struct LinkHolder {
  std::atomic<pid_t> pid;                    // the process inside the semaphore, 0 when none
  std::atomic<std::uint32_t> started_low;    // its start time (core/process_identity.h), in two
  std::atomic<std::uint32_t> started_high;   // halves: 64-bit atomics need a lock on some routers
  std::atomic<std::uint32_t> entries;        // moves on with every entry (and every release)
  std::atomic<std::int32_t> failed_writes;   // frames in a row the collector did not take
};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free,
              "the record is shared between processes: its atomics must not need a lock");

// How long one frame may take to be written, how long the semaphore may stay with one entry before
// its holder is looked at, and how long a writer waits for the semaphore before dropping its frame.
constexpr std::chrono::seconds kLinkWriteTimeout{2};
constexpr std::chrono::seconds kLinkStuckAfter{5};
constexpr std::chrono::seconds kLinkWaitLimit{10};
// Frames in a row the collector takes nothing of before the link is closed and made again.
constexpr int kLinkFailedWritesLimit = 3;

// Main process, before any writer exists: the record in a mapping every later child shares.
void create_link_holder();

// Takes the semaphore (true at once when there is none). False when it could not be had within
// kLinkWaitLimit; a holder that ended inside it is released on the way.
bool enter_link();
void leave_link();

}  // namespace vorn::core
