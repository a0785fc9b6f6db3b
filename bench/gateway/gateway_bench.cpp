// The whole gateway under load: the simulated collector with 100 sensors sends SensorData at fixed
// rates through vorn_mgr (a fork per frame, sensorlist, the bus, the channels), and this measures
// what the daemon keeps up with and what it costs: against a bare fork of this machine, against
// the radio's limit, and against the old design floor (reads through the uci command) for
// comparison. Run it in a router sandbox:
//   VORN_BUILD_DIR=<build> tools/router-sandbox -- <build>/bench/gateway/gateway_bench [RESULTS.json]
// The results go to RESULTS.json (default $VORN_BUILD_DIR/bench/results.json) and as a table to
// standard output. BENCH_STEP_SECONDS, BENCH_IDLE_SECONDS and BENCH_RATES (e.g. "150 200 300")
// change the length of a rate step, of the idle look and the rates tried.
//
// With BENCH_PROFILE=FILE it only streams BENCH_PROFILE_RATE frames per second (default 100) for
// a step while perf samples the daemon and everything it starts, writes perf's data to FILE, its
// report by program and library to FILE.txt and the sampled stacks to FILE.script.txt, and prints
// the frame's CPU split into the design's floor and the daemon's own share.
//
// When a rate counts as sustained: see rate_step.h.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cpu_accounting.h"
#include "design_floor.h"
#include "gateway_under_test.h"
#include "idle_look.h"
#include "live_latency.h"
#include "memory_sampler.h"
#include "proc_stats.h"
#include "profile_split.h"
#include "rate_step.h"
#include "results.h"
#include "txq_probe.h"

namespace bench {
namespace {

constexpr int kSensors = 100;
constexpr double kRadioLimit = 100;      // frames per second a sub-GHz network of this kind carries
constexpr int kTxqPosts = 80;
constexpr int kBareForks = 2000;
constexpr int kFloorFrames = 400;

int env_int(const char *name, int fallback) {
  const char *value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

std::vector<double> env_rates() {
  std::vector<double> rates;
  const char *value = std::getenv("BENCH_RATES");
  std::istringstream in(value != nullptr ? value : "200 300 400 500 600 800 1000 1200 1500 2000");
  for (double r; in >> r;)
    if (r > 0) rates.push_back(r);
  return rates;
}

// 100 sensors of the later firmware, two float channels each, reporting every 60 simulated
// seconds (5 real seconds) of their own until the benchmark takes over.
std::string network_json() {
  std::string sensors;
  for (int i = 1; i <= kSensors; ++i) {
    char sensor[400];
    std::snprintf(sensor, sizeof sensor,
                  R"(%s{"ExtAddress":"00124B0001B0%04X","ShortAddress":"%04X","ModelName":"VT-BENCH","ModelVersion":"2.5.2.4",)"
                  R"("EventInterval":60,"Channels":[{"Name":"Temperature","Type":1,"Unit":"C"},)"
                  R"({"Name":"Humidity","Type":2,"Unit":"%%RH","Base":50}]})",
                  i == 1 ? "" : ",", i, i);
    sensors += sensor;
  }
  return R"({"TimeScale":12,"JoinSpacing":0.05,"Sensors":[)" + sensors + "]}";
}

std::size_t live_channels() {
  std::size_t n = 0;
  for (int i = 1; i <= kSensors; ++i) {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/shm/00124B0001B0%04X", i);
    n += access(path, F_OK) == 0;
  }
  return n;
}

std::vector<std::string> sensor_ids() {
  std::vector<std::string> ids;
  for (int i = 1; i <= kSensors; ++i) {
    char id[17];
    std::snprintf(id, sizeof id, "00124B0001B0%04X", i);
    ids.push_back(id);
  }
  return ids;
}

// The floor's CPU per frame for these steps: their frames by kind, and the poll over their time.
double floor_of(const DesignFloor &floor, const std::vector<Step> &steps) {
  std::map<std::string, long long> kinds;
  long long handled = 0;
  double wall = 0;
  for (const Step &step : steps) {
    for (const auto &[kind, count] : step.sent_by_kind) kinds[kind] += count;
    handled += step.handled;
    wall += step.cpu.wall;
  }
  return weighted_floor_us(floor, kinds, handled, wall);
}

// The daemon's CPU per frame over these steps: all its processes and what they ran.
double daemon_us_of(const std::vector<Step> &steps) {
  double cpu = 0;
  long long handled = 0;
  for (const Step &step : steps) cpu += step.cpu.daemon, handled += step.handled;
  return handled > 0 ? cpu / static_cast<double>(handled) * 1e6 : 0;
}

std::string floor_kinds_text(const DesignFloor &floor) {
  std::string text;
  for (const auto &[kind, us] : floor.cpu_us_by_kind) {
    char part[96];
    std::snprintf(part, sizeof part, "%s%s %.0f us", text.empty() ? "" : ", ", kind.c_str(), us);
    text += part;
  }
  return text;
}

void print_floor(const DesignFloor &floor) {
  std::printf("  old design floor at %.0f fr/s: %s; the 5 ms poll %.0f us of CPU a second\n", floor.rate,
              floor_kinds_text(floor).c_str(), floor.poll_us_per_second);
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string load_text() {
  char text[64];
  std::snprintf(text, sizeof text, "load %.2f on %d CPUs", load_average(), cpus_online());
  return text;
}

Figure figure(const char *key, const char *label, double value, const char *unit, const char *goal,
              std::optional<bool> met, std::string conditions) {
  return Figure{key, label, value, unit, goal, met, std::move(conditions)};
}

// Lines of the daemon's output that tell of a failure or a refusal, with how often each came:
// a run that loses nothing may still have had to give up on something.
json_object *complaints_json(const char *path) {
  std::map<std::string, int> seen;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    for (const char *word : {"failed", "Failed", "Reject", "dropped", "refused", "Sanitizer", "not ready"})
      if (line.find(word) != std::string::npos) {
        // "[time] uptime: what": the same complaint at another time is the same complaint.
        const std::size_t stamp_end = line[0] == '[' ? line.find(": ", line.find(']')) : std::string::npos;
        ++seen[line.substr(stamp_end == std::string::npos ? 0 : stamp_end + 2, 120)];
        break;
      }
  json_object *object = json_object_new_object();
  for (const auto &[line, count] : seen) json_object_object_add(object, line.c_str(), json_object_new_int(count));
  std::printf("daemon output: %zu kinds of complaint line\n", seen.size());
  for (const auto &[line, count] : seen) std::printf("  %6d x %s\n", count, line.c_str());
  return object;
}

// One step at a fixed rate with perf sampling every processor, with call stacks (from the stack's
// contents: the daemon is built without frame pointers); the daemon's samples are those of its
// program's processes in this sandbox (perf gives processes outside its namespace pid 0). Sampling
// the main process alone would miss the handlers: perf does not follow the processes forked by a
// process it was attached to.
int profile_frame_path(GatewayUnderTest &gateway, LiveLatencyWatch &watch, const std::string &data, int seconds,
                       double bare_fork_us) {
  const double rate = env_int("BENCH_PROFILE_RATE", 100);
  const DesignFloor floor = measure_design_floor(sensor_ids(), kFloorFrames, rate);
  gateway.settle(30);
  const pid_t perf = gateway.start_beside({"perf", "record", "-e", "cpu-clock", "-F", "1000", "--call-graph", "dwarf,8192",
                                           "-a", "-o", data},
                                          "/tmp/perf-record.out");
  pause_s(2);
  MemorySampler memory(gateway);
  const Step step = RateSteps(gateway, watch, memory).run(rate, seconds);
  const double floor_us = floor_of(floor, {step});
  const double frame_us = daemon_us_of({step});
  if (!gateway.end_beside(perf, SIGINT, 60)) {
    std::fprintf(stderr, "gateway bench: perf record did not finish\n");
    return 1;
  }
  // Read inside the sandbox, where the daemon's program and libraries lie at the paths perf saw.
  const std::string report = data + ".txt", script = data + ".script.txt";
  gateway.end_beside(gateway.start_beside({"perf", "report", "-i", data, "--stdio", "--no-children", "-g", "none",
                                           "--sort", "comm,dso", "--percent-limit", "0.5", "--comms", "vorn_mgr,sh,uci"},
                                          report.c_str()),
                     0, 300);
  gateway.end_beside(gateway.start_beside({"perf", "script", "-i", data, "-F", "comm,pid,ip,sym,dso", "--comms", "vorn_mgr,sh,uci"},
                                          script.c_str()),
                     0, 600);
  std::printf("perf data in %s; by program and library in %s, the stacks in %s\n", data.c_str(), report.c_str(),
              script.c_str());
  std::ifstream script_file(script);
  std::stringstream script_text;
  script_text << script_file.rdbuf();
  std::vector<ProfileSample> samples = parse_perf_script(script_text.str());
  std::erase_if(samples, [](const ProfileSample &sample) { return sample.pid <= 0; });
  std::printf("%zu samples of the daemon's processes, %.0f ms of CPU at 1000 a second, against %.0f ms counted\n",
              samples.size(), static_cast<double>(samples.size()), frame_us * static_cast<double>(step.handled) / 1000);
  print_profile_split(samples, frame_us, floor_us, bare_fork_us);
  return 0;
}

std::string results_path(int argc, char **argv) {
  if (argc > 1) return argv[1];
  const char *build = std::getenv("VORN_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/bench/results.json";
}

int run(int argc, char **argv) {
  const int step_seconds = env_int("BENCH_STEP_SECONDS", 12);
  const int idle_seconds = env_int("BENCH_IDLE_SECONDS", 30);
  Results results;
  const double start_load = load_average();
  std::printf("gateway bench: %d sensors, %s\n", kSensors, load_text().c_str());

  const ForkCost fork_cost = bare_fork_cost(kBareForks);

  GatewayUnderTest gateway;
  std::string why;
  if (!gateway.start(network_json(), why)) {
    std::fprintf(stderr, "gateway bench: %s\n", why.c_str());
    return 1;
  }
  LiveLatencyWatch watch;
  if (!watch.ok()) {
    std::fprintf(stderr, "gateway bench: cannot watch /dev/shm\n");
    return 1;
  }
  // Every sensor joined, identified and with a live value before the measuring starts.
  const double warm_from = monotonic_seconds();
  while (live_channels() < kSensors && monotonic_seconds() - warm_from < 300) pause_s(0.5);
  if (live_channels() < kSensors) {
    std::fprintf(stderr, "gateway bench: only %zu of %d sensors reported within 300 s\n", live_channels(), kSensors);
    return 1;
  }
  gateway.collector("pause");
  gateway.settle(60);
  pause_s(2);
  const pid_t main_pid = gateway.daemon(), command_pid = gateway.command_process();
  std::printf("warm: %d sensors reporting after %.0f s; main process %d, command process %d\n", kSensors,
              monotonic_seconds() - warm_from, main_pid, command_pid);
  if (const char *profile = std::getenv("BENCH_PROFILE")) return profile_frame_path(gateway, watch, profile, step_seconds, fork_cost.cpu_us);

  const double idle_load = load_average();
  const IdleLook idle = look_at_idle(main_pid, command_pid, idle_seconds);
  const double idle_percent = idle.percent_of_a_core;
  results.detail("idle_threads", idle.threads);
  const long main_idle_kib = resident_kib(main_pid), command_kib = resident_kib(command_pid);
  const long command_pss_kib = proportional_kib(command_pid), main_pss_kib = proportional_kib(main_pid);

  int lost = 0;
  const Spread txq_idle = spread_of(txq_latencies(kTxqPosts, lost));
  const int txq_idle_lost = lost;
  gateway.settle(30);

  MemorySampler memory(gateway);
  RateSteps bench(gateway, watch, memory);
  std::printf("at the radio limit:\n");
  Spread txq_load;
  int txq_load_lost = 0;
  // The old design's floor, in this sandbox against this sensorlist, right before each step and
  // paced as it is: the machine's speed drifts, and a floor taken beside each step drifts with it.
  const auto run_with_floor = [&](double rate, double seconds) {
    const DesignFloor floor = measure_design_floor(sensor_ids(), kFloorFrames, rate);
    print_floor(floor);
    gateway.settle(30);
    Step step = bench.run(rate, seconds);
    step.floor_us = floor_of(floor, {step});
    return step;
  };
  std::vector<Step> limits;
  for (int i = 0; i < env_int("BENCH_LIMIT_RUNS", 3); ++i) limits.push_back(run_with_floor(kRadioLimit, std::max(step_seconds, 15)));
  // The queue probe asks the collector for its counts while it runs: a step of its own, so that
  // it does not weigh on the latencies above.
  const Step txq_step = bench.run(kRadioLimit, 12, [&] {
    pause_s(1);
    txq_load = spread_of(txq_latencies(kTxqPosts, txq_load_lost));
  });
  // The run of the median p99 stands for them all; the others are given beside it.
  std::vector<Step> by_p99 = limits;
  std::sort(by_p99.begin(), by_p99.end(), [](const Step &a, const Step &b) { return a.latency.p99 < b.latency.p99; });
  const Step limit = by_p99[by_p99.size() / 2];
  std::string limit_runs;
  for (const Step &run : limits)
    limit_runs += (limit_runs.empty() ? "" : "; ") + number_text(run.latency.median) + "/" + number_text(run.latency.p99) +
                  " ms at load " + number_text(run.load_before);
  MemorySamples limit_memory;
  for (const Step &run : limits) {
    const MemorySamples &m = run.memory;
    limit_memory.handler_rss_kib.insert(limit_memory.handler_rss_kib.end(), m.handler_rss_kib.begin(), m.handler_rss_kib.end());
    limit_memory.handler_pss_kib.insert(limit_memory.handler_pss_kib.end(), m.handler_pss_kib.begin(), m.handler_pss_kib.end());
    limit_memory.main_max_kib = std::max(limit_memory.main_max_kib, m.main_max_kib);
  }

  std::printf("rate steps:\n");
  json_object *steps = json_object_new_array();
  for (const Step &run : limits) json_object_array_add(steps, step_json(run));
  json_object_array_add(steps, step_json(txq_step));
  Step best = limit.sustained ? limit : Step{};
  long main_load_kib = limit_memory.main_max_kib;
  for (double rate : env_rates()) {
    Step step = run_with_floor(rate, step_seconds);
    main_load_kib = std::max(main_load_kib, step.memory.main_max_kib);
    json_object_array_add(steps, step_json(step));
    if (!step.sustained) {
      // One more try, for a machine shared with others: a step that fails twice ends the climb.
      step = run_with_floor(rate, step_seconds);
      main_load_kib = std::max(main_load_kib, step.memory.main_max_kib);
      json_object_array_add(steps, step_json(step));
      if (!step.sustained) break;
    }
    best = step;
  }
  results.detail("steps", steps);

  // Figures: first those that hold on any machine, then absolute ones.
  const auto frame_us = [](const Step &step) { return daemon_us_of({step}); };
  // All the runs at the radio limit together, each against the floor taken right before it.
  double limit_floor_cpu = 0;
  long long limit_handled = 0;
  for (const Step &run : limits) {
    limit_floor_cpu += run.floor_us * static_cast<double>(run.handled);
    limit_handled += run.handled;
  }
  const double limit_frame_us = daemon_us_of(limits);
  const double limit_floor_us = limit_handled > 0 ? limit_floor_cpu / static_cast<double>(limit_handled) : 0;
  const double best_frame_us = best.sustained ? frame_us(best) : 0;
  const double best_floor_us = best.sustained ? best.floor_us : 0;
  const double limit_ratio = limit_floor_us > 0 ? limit_frame_us / limit_floor_us : 0;
  const double best_ratio = best_floor_us > 0 ? best_frame_us / best_floor_us : 0;
  const double best_rate = best.sustained ? best.rate : 0;
  const double achieved = best.sustained ? static_cast<double>(best.handled) / best.seconds : 0;
  const double fork_ratio = fork_cost.cpu_us > 0 ? limit_frame_us / fork_cost.cpu_us : 0;
  const double fork_ratio_best = fork_cost.cpu_us > 0 ? best_frame_us / fork_cost.cpu_us : 0;
  std::printf("per-frame cost / bare fork: %.2f x at %.0f fr/s\n", fork_ratio, kRadioLimit);
  if (best.sustained) std::printf("per-frame cost / bare fork: %.2f x at %.0f fr/s (highest sustained)\n", fork_ratio_best, best.rate);
  std::printf("sustained / radio limit: %.2f x\n", best_rate / kRadioLimit);
  std::printf("per-frame cost / old design floor: %.2f x at %.0f fr/s\n", limit_ratio, kRadioLimit);
  if (best.sustained) std::printf("per-frame cost / old design floor: %.2f x at %.0f fr/s (highest sustained)\n", best_ratio, best.rate);
  results.add(figure("frame_cost_ratio_to_bare_fork", "per-frame cost / bare fork, at 100 fr/s", fork_ratio, "x", "<= 5",
                     fork_ratio > 0 && fork_ratio <= 5,
                     "daemon CPU per frame " + number_text(limit_frame_us) + " us over " + std::to_string(limits.size()) +
                         " runs against a bare fork + exit + wait of " + number_text(fork_cost.cpu_us) + " us of CPU here"));
  results.add(figure("frame_cost_ratio_to_bare_fork_best", "per-frame cost / bare fork, highest sustained", fork_ratio_best, "x",
                     "<= 5", fork_ratio_best > 0 && fork_ratio_best <= 5,
                     "at " + number_text(best_rate) + " fr/s: " + number_text(best_frame_us) + " us per frame"));
  results.add(figure("sustained_ratio_to_radio_limit", "sustained / radio limit (100 fr/s)", best_rate / kRadioLimit, "x",
                     ">= 10", best_rate >= 10 * kRadioLimit, "handled " + std::to_string(static_cast<int>(achieved)) + " fr/s in that step; a bare fork costs " + number_text(fork_cost.cpu_us) + " us of CPU on this machine"));
  // The design floor of the reads through the uci command, kept to compare with earlier runs.
  const std::string floor_parts =
      "two forks, the handler's two reads through the shell and the uci command, its cloud readiness probe and live-value write, and the 5 ms poll";
  results.add(figure("frame_cost_ratio_to_floor", "per-frame cost / old design floor, at 100 fr/s", limit_ratio, "x", "", {},
                     "daemon CPU per frame " + number_text(limit_frame_us) + " us over " + std::to_string(limits.size()) +
                         " runs against the floor's " + number_text(limit_floor_us) + " us (" + floor_parts +
                         ", paced as each run and weighted by the stream's kinds)"));
  results.add(figure("frame_cost_ratio_to_floor_best", "per-frame cost / old design floor, highest sustained", best_ratio, "x",
                     "", {},
                     "at " + number_text(best.sustained ? best.rate : 0) + " fr/s: " + number_text(best_frame_us) +
                         " us per frame against the floor's " + number_text(best_floor_us) + " us"));
  const Step &costed = best.sustained ? best : limit;
  const double frame_cpu_us = frame_us(costed);
  results.add(figure("sustained_fps", "sustained frames/s, no loss (100 sensors)", best_rate, "fr/s", ">= 1000",
                     best_rate >= 10 * kRadioLimit,
                     "highest rate of the steps that kept pace (" + std::to_string(step_seconds) +
                         " s each, a failing step tried twice); machine " + number_text(best.cpu.wall > 0 ? best.cpu.machine_busy / best.cpu.wall : 0) +
                         " cores busy in that step, " + number_text(best.sustained ? others_cores(best) : 0) + " of them other work; load before the run " +
                         number_text(start_load)));
  results.add(figure("latency_median_ms", "latency collector -> channel, median", limit.latency.median, "ms", "", {},
                     "at 100 fr/s, the run of the median p99 of " + std::to_string(limits.size()) + " runs of " +
                         std::to_string(static_cast<int>(limit.seconds)) + " s: " + std::to_string(limit.latency.count) +
                         " values seen; p10 " + number_text(limit.latency.p10) + " p90 " + number_text(limit.latency.p90) +
                         " max " + number_text(limit.latency.max)));
  results.add(figure("latency_p99_ms", "latency collector -> channel, p99", limit.latency.p99, "ms", "< 20",
                     limit.latency.count > 0 && limit.latency.p99 < 20, "median/p99 of each run: " + limit_runs));
  results.add(figure("txq_latency_idle_median_ms", "TXQ post -> link, idle, median", txq_idle.median, "ms", "", {},
                     std::to_string(txq_idle.count) + " posts, p10 " + number_text(txq_idle.p10) + " p90 " +
                         number_text(txq_idle.p90) + ", " + std::to_string(txq_idle_lost) + " not arrived in 1 s"));
  results.add(figure("txq_latency_idle_max_ms", "TXQ post -> link, idle, max", txq_idle.max, "ms", "~50 bound",
                     txq_idle.count > 0 && txq_idle.max <= 55, ""));
  results.add(figure("txq_latency_load_p99_ms", "TXQ post -> link, at 100 fr/s, p99", txq_load.p99, "ms", "~50 bound",
                     txq_load.count > 0 && txq_load.p99 <= 55,
                     std::to_string(txq_load.count) + " posts, median " + number_text(txq_load.median) + " max " +
                         number_text(txq_load.max) + ", " + std::to_string(txq_load_lost) + " not arrived in 1 s"));
  results.add(figure("main_rss_idle_kib", "main process resident, idle", static_cast<double>(main_idle_kib), "KiB",
                     "< 4096", main_idle_kib < 4096, "Pss " + std::to_string(main_pss_kib) + " KiB"));
  results.add(figure("main_rss_load_kib", "main process resident, under load (max)", static_cast<double>(main_load_kib),
                     "KiB", "< 4096", main_load_kib > 0 && main_load_kib < 4096, "sampled every 100 ms through every step"));
  results.add(figure("command_rss_kib", "command process resident", static_cast<double>(command_kib), "KiB", "", {},
                     "Pss " + std::to_string(command_pss_kib) + " KiB"));
  const Spread handler_rss = spread_of(limit_memory.handler_rss_kib), handler_pss = spread_of(limit_memory.handler_pss_kib);
  results.add(figure("handler_rss_kib", "handler process resident, median", handler_rss.median, "KiB", "", {},
                     std::to_string(handler_rss.count) + " samples at 100 fr/s, max " + number_text(handler_rss.max) +
                         "; Pss median " + number_text(handler_pss.median) + " KiB (pages shared with the main process split)"));
  results.add(figure("idle_cpu_percent", "idle CPU, all daemon processes", idle_percent, "% core", "< 0.5",
                     idle_percent < 0.5, std::to_string(idle_seconds) + " s without frames, load " + number_text(idle_load) +
                     "; per thread in details.idle_threads"));
  const double bus_us = costed.handled > 0 ? costed.cpu.bus / static_cast<double>(costed.handled) * 1e6 : 0;
  results.add(figure("frame_cpu_us", "daemon CPU per frame", frame_cpu_us, "us", "", {},
                     "all daemon processes and what they ran, at " + std::to_string(static_cast<int>(costed.rate)) +
                         " fr/s; ubusd adds " + std::to_string(static_cast<int>(bus_us)) + " us, the cloud agent " +
                         std::to_string(static_cast<int>(costed.handled > 0 ? costed.cpu.cloud_agent / static_cast<double>(costed.handled) * 1e6 : 0)) + " us"));
  const double gateway_frame_s = costed.handled > 0 ? gateway_cpu(costed.cpu) / static_cast<double>(costed.handled) : 0;
  results.add(figure("cpu_ceiling_fps", "frames/s the CPU allows, all cores free", gateway_frame_s > 0 ? cpus_online() / gateway_frame_s : 0,
                     "fr/s", "", {}, std::to_string(cpus_online()) + " cores / CPU per frame of daemon, ubusd, cloud agent and collector (" +
                     std::to_string(static_cast<int>(gateway_frame_s * 1e6)) + " us): what the steps would reach without other work on the machine"));
  results.add(figure("bare_fork_cpu_us", "bare fork + exit + wait, CPU", fork_cost.cpu_us, "us", "", {},
                     std::to_string(kBareForks) + " forks of this benchmark; wall median " +
                         std::to_string(static_cast<int>(fork_cost.wall_median_us)) + " us"));
  results.add(figure("design_floor_us", "old design floor CPU per frame, at 100 fr/s", limit_floor_us, "us", "", {},
                     std::to_string(kFloorFrames) + " frames of each kind right before each step, paced as it; "
                     "per step in details.steps"));

  json_object *conditions = json_object_new_object();
  json_object_object_add(conditions, "cpus", json_object_new_int(cpus_online()));
  json_object_object_add(conditions, "load_at_end", json_object_new_double(load_average()));
  json_object_object_add(conditions, "idle_seconds", json_object_new_int(idle_seconds));
  json_object_object_add(conditions, "step_seconds", json_object_new_int(step_seconds));
  json_object_object_add(conditions, "sensors", json_object_new_int(kSensors));
  results.detail("conditions", conditions);
  results.detail("daemon_complaints", complaints_json("/tmp/vorn_mgr.out"));
  results.print_table();
  const std::string path = results_path(argc, argv);
  if (!results.write_json(path)) {
    std::fprintf(stderr, "gateway bench: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("results written to %s\n", path.c_str());
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char **argv) {
  char host[64] = {};
  if (gethostname(host, sizeof host - 1) != 0 || std::strcmp(host, "router") != 0 || access("/usr/sbin/vorn_mgr", X_OK) != 0) {
    std::fprintf(stderr, "gateway_bench runs the daemon, which kills processes by name: run it in a router sandbox\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return bench::run(argc, argv);
}
