// CPU time spent by each part of the gateway between two moments, and the cost of a bare fork to
// compare the daemon's per-frame cost with.
#pragma once

namespace bench {

class GatewayUnderTest;

// Seconds of CPU so far. `daemon` counts the main process (all threads), the command process and
// every process they started that has ended: the per-frame forks, the handlers (reaped by the
// benchmark) and the shell commands and uci runs of both.
struct CpuSnapshot {
  double wall = 0;
  double daemon = 0;
  double bus = 0;        // ubusd
  double cloud_agent = 0;
  double collector = 0;
  double bench = 0;         // this benchmark: the watch on the channels, the looks at /proc
  double machine_busy = 0;   // every CPU of the machine, whoever ran: others share it with us
  double machine_steal = 0;  // time the hypervisor gave to other machines
};
CpuSnapshot cpu_snapshot(const GatewayUnderTest &gateway);

// User and system CPU seconds of getrusage's `who` (RUSAGE_SELF, RUSAGE_THREAD, RUSAGE_CHILDREN).
double usage_s(int who);
CpuSnapshot operator-(const CpuSnapshot &a, const CpuSnapshot &b);

// A bare fork of this process whose child exits at once, waited for: CPU (parent and child) and
// wall time per fork, in microseconds, over `count` forks. Run before any other child exists.
struct ForkCost {
  double cpu_us = 0;
  double wall_median_us = 0;
};
ForkCost bare_fork_cost(int count);

}  // namespace bench
