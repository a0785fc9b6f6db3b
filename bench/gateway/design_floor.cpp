#include "design_floor.h"

#include <gateway_lib/settings.h>
#include <gateway_lib/shm_channel.h>
#include <libubus.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
extern "C" {
#include <libubox/uloop.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "cpu_accounting.h"

namespace bench {

namespace {

// What the handler of each kind must do for a frame of the paced stream (a live reading): read
// through the shell whether the sensor is to be removed and the interval its user wants, probe the
// cloud agent (the settings, and the bus when they do not say it is ready), and write the live
// value to the sensor's channel. The channel written here is one of the benchmark's own, so that
// no sensor's live value is replaced; a value of the daemon's size for two channels.
struct FloorKind {
  const char *kind;
  std::vector<const char *> reads;  // formats taking the sensor id
  bool live_value = false;
};
const FloorKind kFloorKinds[] = {
    {"SensorData",
     {"uci -q get sensorlist.@%s[].RemoveSensor", "uci -q get sensorlist.@%s[].EventIntervalUserWanted"},
     true},
    {"forks only", {}, false},
};
constexpr const char *kFloorChannel = "bench_design_floor";
constexpr int kChannelTimeoutMs = 100;

// The readiness probe on the bus: connect, look the agent up, disconnect.
void probe_cloud_agent(const char *agent_name) {
  system_settings_record settings{};
  if (get_system_settings(&settings) == 1 && settings.cloud_ready != 0) return;
  uloop_init();
  if (ubus_context *bus = ubus_connect(nullptr)) {
    std::uint32_t id = 0;
    if (agent_name != nullptr) (void)ubus_lookup_id(bus, agent_name, &id);
    ubus_free(bus);
  }
  uloop_done();
}

void write_live_value(const std::string &id) {
  char text[256];
  const int n = std::snprintf(text, sizeof text,
                              R"({"ID":"%s","Data":{"BaseTime":1700000000000,"Values":[{"Name":"Temperature",)"
                              R"("Points":[{"T":0,"V":21.5}]},{"Name":"Humidity","Points":[{"T":0,"V":50.25}]}]}})",
                              id.c_str());
  share_memory_write_noneblock(kFloorChannel, text, n, kChannelTimeoutMs);
}

[[noreturn]] void run_handler(const FloorKind &kind, const std::string &id, const char *agent_name) {
  for (const char *format : kind.reads) {
    char command[128];
    std::snprintf(command, sizeof command, format, id.c_str());
    if (FILE *pipe = popen(command, "r")) {
      char line[128];
      if (std::fgets(line, sizeof line, pipe) != nullptr) (void)std::atoi(line);
      pclose(pipe);
    }
  }
  if (kind.live_value) {
    probe_cloud_agent(agent_name);
    write_live_value(id);
  }
  _exit(0);
}

// One frame's processes: the per-frame fork, whose process forks the handler and waits for it, so
// the handler's CPU is counted with it. The per-frame process id, or -1.
pid_t start_frame(const FloorKind &kind, const std::string &id, const char *agent_name) {
  const pid_t child = fork();
  if (child == 0) {
    const pid_t handler = fork();
    if (handler == 0) run_handler(kind, id, agent_name);
    if (handler > 0) waitpid(handler, nullptr, 0);
    _exit(0);
  }
  return child;
}

// Whether the child has ended. Another thread of this program may reap it first: waitpid then
// fails with ECHILD, and the child has ended all the same.
bool reaped(pid_t child, int options) {
  pid_t r = 0;
  while ((r = waitpid(child, nullptr, options)) < 0 && errno == EINTR) {
  }
  return r == child || (r < 0 && errno == ECHILD);
}

void sleep_until(const timespec &at) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

timespec plus_seconds(timespec t, double s) {
  const double whole = std::floor(s);
  t.tv_sec += static_cast<time_t>(whole);
  t.tv_nsec += static_cast<long>((s - whole) * 1e9);
  if (t.tv_nsec >= 1'000'000'000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1'000'000'000L;
  }
  return t;
}

// Frames of one kind, each started `1 / rate` seconds after the last (or when the last ended, for
// rate 0); the ones still running are reaped as the next are started.
double run_frames(const FloorKind &kind, const std::vector<std::string> &ids, int frames, double rate,
                  const char *agent_name) {
  const double before = usage_s(RUSAGE_THREAD) + usage_s(RUSAGE_CHILDREN);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::vector<pid_t> running;
  for (int i = 0; i < frames; ++i) {
    if (rate > 0) sleep_until(plus_seconds(start, i / rate));
    const pid_t child = start_frame(kind, ids[static_cast<std::size_t>(i) % ids.size()], agent_name);
    if (child < 0) continue;
    running.push_back(child);
    std::erase_if(running, [&](pid_t p) { return reaped(p, rate > 0 ? WNOHANG : 0); });
  }
  for (pid_t p : running) (void)reaped(p, 0);
  return (usage_s(RUSAGE_THREAD) + usage_s(RUSAGE_CHILDREN) - before) * 1e6 / frames;
}

// CPU a second of a thread that wakes every 5 ms, as the transmit thread does to look at a slot.
double poll_cpu_us_per_second(double seconds) {
  double used = 0;
  std::thread([&] {
    const double before = usage_s(RUSAGE_THREAD);
    const timespec step{0, 5'000'000};
    for (int i = 0; i < static_cast<int>(seconds * 200); ++i) clock_nanosleep(CLOCK_REALTIME, 0, &step, nullptr);
    used = usage_s(RUSAGE_THREAD) - before;
  }).join();
  return used * 1e6 / seconds;
}

}  // namespace

DesignFloor measure_design_floor(const std::vector<std::string> &sensor_ids, int frames, double rate) {
  DesignFloor floor;
  floor.frames_per_kind = frames;
  floor.rate = rate;
  if (sensor_ids.empty() || frames <= 0) return floor;
  char *agent_name = nullptr;
  if (get_cloud_ubus_name(&agent_name) != 0) agent_name = nullptr;
  std::fflush(stdout);
  // A few frames first, unmeasured: the first after a quiet while cost more.
  for (const FloorKind &kind : kFloorKinds) {
    (void)run_frames(kind, sensor_ids, std::max(1, frames / 8), rate, agent_name);
    floor.cpu_us_by_kind[kind.kind] = run_frames(kind, sensor_ids, frames, rate, agent_name);
  }
  floor.poll_us_per_second = poll_cpu_us_per_second(2);
  return floor;
}

double weighted_floor_us(const DesignFloor &floor, const std::map<std::string, long long> &sent_by_kind,
                         long long per_frames, double seconds) {
  if (per_frames <= 0) return 0;
  const auto cost_of = [&](const std::string &kind) {
    const auto known = floor.cpu_us_by_kind.find(kind);
    if (known != floor.cpu_us_by_kind.end()) return known->second;
    const auto forks = floor.cpu_us_by_kind.find("forks only");
    return forks != floor.cpu_us_by_kind.end() ? forks->second : 0.0;
  };
  double total = floor.poll_us_per_second * seconds;
  for (const auto &[kind, count] : sent_by_kind) total += cost_of(kind) * static_cast<double>(count);
  return total / static_cast<double>(per_frames);
}

}  // namespace bench
