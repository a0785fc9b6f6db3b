// The command line of the configuration tool, runnable in-process: output is collected rather
// than written, so that the caller decides where it goes.
#pragma once

#include <string>

#include "package_store.h"

namespace uci {

struct Output {
  std::string out;  // standard output
  std::string err;  // standard error
};

// Exit status of a command-line mistake (the usage text is printed).
inline constexpr int kUsageStatus = 2;

// Runs "uci ARGV[1] ..." against PATHS; returns the exit status (0, 1 on failure, kUsageStatus).
int run(int argc, const char* const* argv, const Paths& paths, Output& output);

}  // namespace uci
