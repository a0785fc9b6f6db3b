// A frame's CPU split in two: the design's floor (the process starts, reads and platform calls
// every handler must make) and the daemon's own share, by function and by library, from perf's
// samples of the daemon and all it started, with their call stacks.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct ProfileSample {
  std::string command;              // the process name perf saw
  long pid = 0;                     // as seen from perf's namespace: 0 for a process outside it
  std::vector<std::string> symbols;  // innermost first
  std::vector<std::string> objects;  // the shared object (library, program or the kernel) of each
};

// The samples of a "perf script -F comm,pid,ip,sym,dso" text.
std::vector<ProfileSample> parse_perf_script(const std::string &script_text);

// Where a sample's CPU went: a part of the floor ("floor: ..."), or the daemon's own share ("").
std::string floor_part_of(const ProfileSample &sample);

// Prints the split in microseconds of CPU per frame and in bare forks of `bare_fork_us`: `frame_us`
// is what a frame cost the daemon and all it ran, `floor_us` what the old design floor measured
// beside the stream.
void print_profile_split(const std::vector<ProfileSample> &samples, double frame_us, double floor_us, double bare_fork_us);

}  // namespace bench
