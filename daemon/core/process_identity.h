// A process known by its id and its start time. Process ids are given out again once their
// process has ended (under load a router's ids come round in minutes), so a record that names a
// process by its id alone may name a stranger later; with the start time it cannot.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace vorn::core {

struct ProcessState {
  bool exists = false;        // /proc lists it (a zombie too)
  bool ended = false;         // a zombie, or being torn down
  std::uint64_t started = 0;  // clock ticks after boot (field 22 of /proc/<pid>/stat); 0 unknown
};

// What /proc says of the process now.
ProcessState process_state(pid_t pid);

// This process's start time, read once per process (a fork reads its own).
std::uint64_t own_start_time();

// True while the process that had `pid` and started at `started` runs and has not ended. A start
// time of 0 (not known) is not compared. When /proc cannot tell, an existing process is taken
// as that one.
bool process_running(pid_t pid, std::uint64_t started);

}  // namespace vorn::core
