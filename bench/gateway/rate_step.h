// One step of the benchmark: the collector streams SensorData at a fixed rate for a while, and
// this tells what the daemon made of it.
//
// A rate is sustained when the collector sent at that rate (at most 5% of its frames over 20 ms
// late), every frame it sent was handled (the daemon printed it) and the daemon kept pace: the
// last frame was handled within kKeptPaceSeconds of the stream's end and 99% of the live values
// were in their channels within kKeptPaceSeconds, so no backlog grew while it ran.
#pragma once

#include <json-c/json.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cpu_accounting.h"
#include "live_latency.h"
#include "memory_sampler.h"

namespace bench {

class GatewayUnderTest;

constexpr double kKeptPaceSeconds = 0.5;

struct Step {
  double rate = 0;
  double seconds = 0;
  long long sent = 0, handled = 0, late = 0;
  double drain_s = 0;  // from the stream's end to the last frame handled
  bool sustained = false;
  Spread latency;
  std::vector<double> worst_by_second;
  MemorySamples memory;
  CpuSnapshot cpu;
  std::map<std::string, long long> sent_by_kind;  // the frames inside the data indications, by kind
  double floor_us = 0;  // the design floor's CPU per frame for these frames, measured right before
  double load_before = 0, load_after = 0;
};

// Frames the collector sent so far by kind: the kinds inside data indications count, the
// indications themselves not (each is one of the frames inside).
std::map<std::string, long long> sent_by_kind(GatewayUnderTest &gateway);
std::map<std::string, long long> operator-(std::map<std::string, long long> after,
                                           const std::map<std::string, long long> &before);

// CPU seconds of the gateway as a whole in a step: the daemon and the programs it talks to.
double gateway_cpu(const CpuSnapshot &c);
// Cores busy with other work than the gateway's and this benchmark's while a step ran.
double others_cores(const Step &s);
json_object *step_json(const Step &s);

class RateSteps {
 public:
  RateSteps(GatewayUnderTest &gateway, LiveLatencyWatch &watch, MemorySampler &memory)
      : gateway_(gateway), watch_(watch), memory_(memory) {}
  // Streams at `rate` for `seconds` (running `while_streaming` meanwhile), waits for the daemon
  // to finish, and judges the step; one line about it goes to standard output.
  Step run(double rate, double seconds, const std::function<void()> &while_streaming = {});

 private:
  GatewayUnderTest &gateway_;
  LiveLatencyWatch &watch_;
  MemorySampler &memory_;
};

}  // namespace bench
