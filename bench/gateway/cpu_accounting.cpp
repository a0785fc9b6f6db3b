#include "cpu_accounting.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "gateway_under_test.h"
#include "proc_stats.h"

namespace bench {

namespace {

double seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double cpu_of(pid_t pid) {
  const ProcessInfo info = read_process(pid);
  return info.own_cpu_s + info.children_cpu_s;
}

double cpu_of_named(const char *name) {
  double total = 0;
  for (const ProcessInfo &p : processes_named(name)) total += p.own_cpu_s;
  return total;
}

// The machine's busy and stolen time from the first line of /proc/stat.
void machine_times(double &busy, double &steal) {
  std::ifstream in("/proc/stat");
  std::string cpu;
  double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, stolen = 0;
  in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> stolen;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  busy = (user + nice + system + irq + softirq) / tick;
  steal = stolen / tick;
}

}  // namespace

double usage_s(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

CpuSnapshot cpu_snapshot(const GatewayUnderTest &gateway) {
  CpuSnapshot s;
  s.wall = monotonic_seconds();
  s.daemon = cpu_of(gateway.daemon()) + cpu_of(gateway.command_process()) + usage_s(RUSAGE_CHILDREN);
  s.bus = cpu_of_named("ubusd");
  s.cloud_agent = cpu_of_named("cloud_agent");
  s.collector = cpu_of_named("collector");
  s.bench = usage_s(RUSAGE_SELF);
  machine_times(s.machine_busy, s.machine_steal);
  return s;
}

CpuSnapshot operator-(const CpuSnapshot &a, const CpuSnapshot &b) {
  return {a.wall - b.wall,           a.daemon - b.daemon,
          a.bus - b.bus,             a.cloud_agent - b.cloud_agent,
          a.collector - b.collector, a.bench - b.bench,
          a.machine_busy - b.machine_busy, a.machine_steal - b.machine_steal};
}

ForkCost bare_fork_cost(int count) {
  std::vector<double> wall;
  const double cpu_before = usage_s(RUSAGE_SELF) + usage_s(RUSAGE_CHILDREN);
  for (int i = 0; i < count; ++i) {
    const double t0 = monotonic_seconds();
    const pid_t child = fork();
    if (child == 0) _exit(0);
    if (child < 0) break;
    waitpid(child, nullptr, 0);
    wall.push_back((monotonic_seconds() - t0) * 1e6);
  }
  ForkCost cost;
  if (wall.empty()) return cost;
  cost.cpu_us = (usage_s(RUSAGE_SELF) + usage_s(RUSAGE_CHILDREN) - cpu_before) * 1e6 / static_cast<double>(wall.size());
  std::sort(wall.begin(), wall.end());
  cost.wall_median_us = wall[wall.size() / 2];
  return cost;
}

}  // namespace bench
