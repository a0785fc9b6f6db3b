// A frame's CPU split in two: the design's floor (the process starts every handler must make) and
// everything else, by program and library, from perf's report of the daemon and all it started.
#pragma once

#include <string>
#include <vector>

#include "design_floor.h"

namespace bench {

struct ProfileRow {
  double percent = 0;
  std::string command;  // the process name perf saw
  std::string object;   // the shared object (library, program or the kernel)
};

// The rows of a "perf report --stdio --sort comm,dso" text.
std::vector<ProfileRow> parse_profile_rows(const std::string &report_text);

// Prints the split: the floor's share (the shell and uci runs, and the kernel's work for the two
// forks, as the floor measured them) and the daemon's own share by program and library, each in
// microseconds of CPU per frame; `frame_us` is what a frame cost the daemon and all it ran.
void print_profile_split(const std::vector<ProfileRow> &rows, double frame_us, double floor_us, double forks_us);

}  // namespace bench
