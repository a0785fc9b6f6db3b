#include "core/process_identity.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorn::core {

ProcessState process_state(pid_t pid) {
  ProcessState state;
  if (pid <= 0) return state;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE *file = std::fopen(path, "re");
  if (file == nullptr) {
    // No /proc to ask: whether the process exists is all that can be told.
    state.exists = kill(pid, 0) == 0 || errno == EPERM;
    return state;
  }
  char stat[512] = {};
  const std::size_t n = std::fread(stat, 1, sizeof stat - 1, file);
  std::fclose(file);
  state.exists = n > 0;
  // The name is in parentheses and may hold blanks and parentheses itself: it ends at the last ')'.
  const char *name_end = std::strrchr(stat, ')');
  if (name_end == nullptr || name_end[1] != ' ') return state;
  const char process_state_letter = name_end[2];
  state.ended = process_state_letter == 'Z' || process_state_letter == 'X';
  // Field 3 is the state letter; the start time is field 22, 19 fields on.
  const char *field = name_end + 2;
  for (int i = 3; i < 22 && field != nullptr; ++i) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  if (field != nullptr) state.started = std::strtoull(field, nullptr, 10);
  return state;
}

std::uint64_t own_start_time() {
  // Each thread keeps its own copy, so no lock is needed; a fork's child finds its parent's id.
  thread_local pid_t read_for = 0;
  thread_local std::uint64_t started = 0;
  const pid_t self = getpid();
  if (read_for != self) {
    started = process_state(self).started;
    read_for = self;
  }
  return started;
}

bool process_running(pid_t pid, std::uint64_t started) {
  const ProcessState state = process_state(pid);
  if (!state.exists || state.ended) return false;
  return started == 0 || state.started == 0 || state.started == started;
}

}  // namespace vorn::core
