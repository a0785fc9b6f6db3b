// The command process and its supervision by the main process.
#pragma once

namespace vorn::app {

// Main process: forks the command process and records its pid in daemon_state.
void fork_command_process();

// Main process: from now on a command process that ends is reaped and started again, at most once
// a second, each restart logged, so cloud commands are never lost for good. Runs in a thread of
// its own: nothing is forked from a signal handler.
void watch_command_process();

}  // namespace vorn::app
