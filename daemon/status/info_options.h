// The two options that only inform: --help and --version print and end the program before the
// daemon starts anything. Every other command line starts the daemon as before.
#pragma once

namespace vorn::status {

// True when the command line was one of them and its answer was printed.
bool print_info_option(int argc, char **argv);

}  // namespace vorn::status
