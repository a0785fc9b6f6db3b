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

// Exit statuses as the router's tool gives them: an unknown command or a wrong number of
// arguments prints the usage text and gives 255; no command at all, or an unknown option, prints
// it and gives 0. A failed command gives 1, except "add", which gives the error's code.
inline constexpr int kUsageStatus = 255;
enum ErrorCode { kInvalidArgument = 2, kNotFound = 3, kIoError = 4, kParseError = 5 };

// Runs "uci ARGV[1] ..." against PATHS; returns the exit status. Messages start with ARGV[0].
int run(int argc, const char* const* argv, const Paths& paths, Output& output);

}  // namespace uci
