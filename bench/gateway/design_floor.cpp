#include "design_floor.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

// What the handler of each kind must read through the shell for a frame of the paced stream (a
// live reading): whether the sensor is to be removed, and the interval its user wants.
struct FloorKind {
  const char *kind;
  std::vector<const char *> reads;  // formats taking the sensor id
};
const FloorKind kFloorKinds[] = {
    {"SensorData", {"uci -q get sensorlist.@%s[].RemoveSensor", "uci -q get sensorlist.@%s[].EventIntervalUserWanted"}},
    {"forks only", {}},
};

double seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double usage_s(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

[[noreturn]] void run_reads(const FloorKind &kind, const std::string &id) {
  for (const char *format : kind.reads) {
    char command[128];
    std::snprintf(command, sizeof command, format, id.c_str());
    if (FILE *pipe = popen(command, "r")) {
      char line[128];
      if (std::fgets(line, sizeof line, pipe) != nullptr) (void)std::atoi(line);
      pclose(pipe);
    }
  }
  _exit(0);
}

// One frame's processes: the per-frame fork, whose process forks the handler. Unlike the daemon's
// it waits for the handler, so the handler's CPU is counted with it. Another thread of this program
// may reap the child first: waitpid then says so, and the child has ended all the same.
void one_frame(const FloorKind &kind, const std::string &id) {
  const pid_t child = fork();
  if (child == 0) {
    const pid_t handler = fork();
    if (handler == 0) run_reads(kind, id);
    if (handler > 0) waitpid(handler, nullptr, 0);
    _exit(0);
  }
  if (child < 0) return;
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

DesignFloor measure_design_floor(const std::vector<std::string> &sensor_ids, int frames) {
  DesignFloor floor;
  floor.frames_per_kind = frames;
  if (sensor_ids.empty() || frames <= 0) return floor;
  std::fflush(stdout);
  for (const FloorKind &kind : kFloorKinds) {
    const double before = usage_s(RUSAGE_THREAD) + usage_s(RUSAGE_CHILDREN);
    for (int i = 0; i < frames; ++i) one_frame(kind, sensor_ids[static_cast<std::size_t>(i) % sensor_ids.size()]);
    floor.cpu_us_by_kind[kind.kind] = (usage_s(RUSAGE_THREAD) + usage_s(RUSAGE_CHILDREN) - before) * 1e6 / frames;
  }
  return floor;
}

double weighted_floor_us(const DesignFloor &floor, const std::map<std::string, long long> &sent_by_kind,
                         long long per_frames) {
  if (per_frames <= 0) return 0;
  const auto cost_of = [&](const std::string &kind) {
    const auto known = floor.cpu_us_by_kind.find(kind);
    if (known != floor.cpu_us_by_kind.end()) return known->second;
    const auto forks = floor.cpu_us_by_kind.find("forks only");
    return forks != floor.cpu_us_by_kind.end() ? forks->second : 0.0;
  };
  double total = 0;
  for (const auto &[kind, count] : sent_by_kind) total += cost_of(kind) * static_cast<double>(count);
  return total / static_cast<double>(per_frames);
}

}  // namespace bench
