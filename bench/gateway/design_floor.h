// The design's floor for a frame: the process work a handler must do whatever its code, so that
// the daemon's own share can be told from it on any machine. The daemon forks a process per frame,
// which forks the handler, and the handler reads the values it needs from sensorlist by running
// the configuration tool through the shell. Measured here with the same command texts against the
// same sensorlist, in the same sandbox, right before the rate steps.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bench {

struct DesignFloor {
  std::map<std::string, double> cpu_us_by_kind;  // per frame of that kind
  int frames_per_kind = 0;
};

// Runs `frames` frames of each kind the floor knows, round the given sensors: two forks (the second
// one's process waited for, so its CPU is counted) and the handler's reads, each through popen with
// its first line read. CPU of this thread and of every child, per frame.
DesignFloor measure_design_floor(const std::vector<std::string> &sensor_ids, int frames);

// CPU per frame of the floor for a stream of this mix: the floor of each kind weighted by how many
// frames of it were sent, divided by the frames counted as handled (`per_frames`). A kind the floor
// does not know costs its two forks.
double weighted_floor_us(const DesignFloor &floor, const std::map<std::string, long long> &sent_by_kind,
                         long long per_frames);

}  // namespace bench
