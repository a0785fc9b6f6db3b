#include "rate_step.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "gateway_under_test.h"
#include "proc_stats.h"

namespace bench {

namespace {

constexpr int kDrainLimitSeconds = 60;

}  // namespace

std::map<std::string, long long> sent_by_kind(GatewayUnderTest &gateway) {
  std::map<std::string, long long> sent;
  const sim::Json stats = gateway.collector("stats");
  sim::for_each_member(sim::member(stats.get(), "Sent"), [&](const char *kind, json_object *count) {
    if (std::string(kind) != "APP_DEVICE_DATA_RX_IND") sent[kind] = json_object_get_int64(count);
  });
  return sent;
}

std::map<std::string, long long> operator-(std::map<std::string, long long> after,
                                           const std::map<std::string, long long> &before) {
  for (const auto &[kind, count] : before) after[kind] -= count;
  return after;
}

double gateway_cpu(const CpuSnapshot &c) { return c.daemon + c.bus + c.cloud_agent + c.collector; }

double others_cores(const Step &s) {
  const CpuSnapshot &c = s.cpu;
  return c.wall > 0 ? std::max(0.0, c.machine_busy - gateway_cpu(c) - c.bench) / c.wall : 0;
}

json_object *step_json(const Step &s) {
  json_object *o = json_object_new_object();
  const auto num = [&](const char *k, double v) { json_object_object_add(o, k, json_object_new_double(v)); };
  num("rate", s.rate), num("seconds", s.seconds), num("sent", static_cast<double>(s.sent));
  num("handled", static_cast<double>(s.handled)), num("late_at_collector", static_cast<double>(s.late));
  num("drain_s", s.drain_s), num("latency_median_ms", s.latency.median), num("latency_p90_ms", s.latency.p90);
  num("latency_p99_ms", s.latency.p99), num("latency_max_ms", s.latency.max);
  num("latency_samples", static_cast<double>(s.latency.count)), num("main_rss_max_kib", static_cast<double>(s.memory.main_max_kib));
  num("handlers_at_once_max", static_cast<double>(s.memory.handlers_max));
  num("daemon_cpu_s", s.cpu.daemon), num("bus_cpu_s", s.cpu.bus), num("cloud_agent_cpu_s", s.cpu.cloud_agent);
  num("collector_cpu_s", s.cpu.collector), num("load_before", s.load_before), num("load_after", s.load_after);
  num("machine_busy_cores", s.cpu.machine_busy / s.cpu.wall), num("others_busy_cores", others_cores(s));
  num("steal_cores", s.cpu.machine_steal / s.cpu.wall), num("bench_cpu_s", s.cpu.bench);
  if (s.floor_us > 0) num("design_floor_us", s.floor_us);
  json_object_object_add(o, "sustained", json_object_new_boolean(s.sustained));
  json_object *worst = json_object_new_array();
  for (double ms : s.worst_by_second) json_object_array_add(worst, json_object_new_double(ms));
  json_object_object_add(o, "latency_worst_by_second_ms", worst);
  return o;
}

Step RateSteps::run(double rate, double seconds, const std::function<void()> &while_streaming) {
  Step step;
  step.rate = rate, step.seconds = seconds, step.load_before = load_average();
  const std::uint64_t handled_before = gateway_.handled_sensor_data();
  memory_.take();
  const CpuSnapshot cpu_before = cpu_snapshot(gateway_);
  const std::map<std::string, long long> kinds_before = sent_by_kind(gateway_);
  const sim::Json started = gateway_.collector("pace", "{\"Rate\":" + std::to_string(rate) + "}");
  watch_.begin_stream(sim::number_member(started.get(), "StartedAt"));
  const double end_at = monotonic_seconds() + seconds;
  if (while_streaming) while_streaming();
  pause_s(std::max(0.0, end_at - monotonic_seconds()));
  const sim::Json stopped = gateway_.collector("pace", R"({"Rate":0})");
  const double stopped_at = monotonic_seconds();
  step.sent = sim::int_member(stopped.get(), "Sent");
  step.late = sim::int_member(stopped.get(), "Late");
  // Handled frames are counted until they reach the sent ones or stop coming.
  std::uint64_t handled = gateway_.handled_sensor_data() - handled_before;
  double last_change = stopped_at;
  while (static_cast<long long>(handled) < step.sent && monotonic_seconds() - last_change < 5 &&
         monotonic_seconds() - stopped_at < kDrainLimitSeconds) {
    pause_s(0.02);
    const std::uint64_t now = gateway_.handled_sensor_data() - handled_before;
    if (now != handled) last_change = monotonic_seconds(), handled = now;
  }
  step.handled = static_cast<long long>(handled);
  step.drain_s = std::max(0.0, last_change - stopped_at);
  gateway_.settle(kDrainLimitSeconds);
  step.cpu = cpu_snapshot(gateway_) - cpu_before;
  step.sent_by_kind = sent_by_kind(gateway_) - kinds_before;
  step.latency = spread_of(watch_.samples());
  step.worst_by_second = watch_.worst_by_second();
  step.memory = memory_.take();
  step.load_after = load_average();
  step.sustained = step.handled == step.sent && step.sent > 0 && step.late * 20 <= step.sent &&
                   step.drain_s <= kKeptPaceSeconds && step.latency.p99 <= kKeptPaceSeconds * 1000;
  std::printf("  %6.0f frames/s for %.0f s: sent %lld, handled %lld, drained in %.2f s, latency median %.1f ms "
              "p99 %.1f ms, %lld sent late, up to %zu handlers at once, other work %.2f cores: %s\n",
              rate, seconds, step.sent, step.handled, step.drain_s, step.latency.median, step.latency.p99, step.late,
              step.memory.handlers_max, others_cores(step), step.sustained ? "kept pace" : "FELL BEHIND");
  std::fflush(stdout);
  return step;
}

}  // namespace bench
