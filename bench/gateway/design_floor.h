// The old design's floor for a frame, kept to compare with earlier runs: the work a handler had to
// do whatever its code while it read sensorlist through the uci command. The daemon forks a
// process per frame, which forks the handler; the handler read the values it needs by running the
// configuration tool through the shell, probes the cloud agent on the bus and writes the live
// value to its channel. Measured here with the same command texts and platform calls against the
// same sensorlist, in the same sandbox, right before each rate step and at its pace: frames that
// come while the processors idle between them cost more than frames back to back.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bench {

struct DesignFloor {
  std::map<std::string, double> cpu_us_by_kind;  // per frame of that kind
  double rate = 0;                               // frames per second it was paced at; 0: back to back
  int frames_per_kind = 0;
  double poll_us_per_second = 0;  // the transmit thread's 5 ms poll, which runs whatever the traffic
};

// Runs `frames` frames of each kind the floor knows, round the given sensors, `rate` frames a
// second (0: each as soon as the last ended): two forks (the second one's process waited for, so
// its CPU is counted) and the handler's work. CPU of this thread and of every child, per frame.
DesignFloor measure_design_floor(const std::vector<std::string> &sensor_ids, int frames, double rate);

// CPU per frame of the floor for a stream of this mix: the floor of each kind weighted by how many
// frames of it were sent, divided by the frames counted as handled (`per_frames`), and the poll's
// share over `seconds` of streaming. A kind the floor does not know costs its two forks.
double weighted_floor_us(const DesignFloor &floor, const std::map<std::string, long long> &sent_by_kind,
                         long long per_frames, double seconds);

}  // namespace bench
