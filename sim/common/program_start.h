// Starting a program of the gateway (the daemon, a simulator, the bus) with its output in a file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim {

// Starts argv[0] (looked up on PATH unless it holds a slash) with argv as its arguments, its
// output and errors written to the file `output` (truncated first). The child's pid, or -1 when
// fork failed. stdout is flushed first so nothing buffered is written twice.
pid_t start_program(const std::vector<std::string> &argv, const char *output);

}  // namespace sim
