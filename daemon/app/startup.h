// Start of the daemon: the main sequence up to the inbound loop.
#pragma once

namespace vorn::app {

// 1 for exactly "-d1", 2 for exactly "-d2", otherwise 0.
int parse_debug_level(int argc, char **argv);

[[noreturn]] void run_daemon(int argc, char **argv);

}  // namespace vorn::app
