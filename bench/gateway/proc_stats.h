// What /proc tells about the gateway's processes: names, parents, resident memory and CPU time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

struct ProcessInfo {
  pid_t pid = 0;
  pid_t parent = 0;
  std::string name;  // the kernel's short command name
  double own_cpu_s = 0;       // user + system time of all its threads
  double children_cpu_s = 0;  // of the children it has waited for
  long long started = 0;      // clock ticks after boot
};

// Nothing (pid 0) when the process is gone.
ProcessInfo read_process(pid_t pid);
std::vector<ProcessInfo> processes_named(const std::string &name);

// Resident and proportional set size in KiB (0 when the process is gone). Pss shares the pages a
// process shares with others (a handler with its parent) among them.
long resident_kib(pid_t pid);
long proportional_kib(pid_t pid);

// Nanoseconds on a CPU of every thread of a process, to the nanosecond (schedstat), by thread.
struct ThreadTime {
  pid_t tid = 0;
  std::string name;
  double cpu_s = 0;
};
std::vector<ThreadTime> thread_times(pid_t pid);
double total_cpu_s(const std::vector<ThreadTime> &threads);

// The 1-minute load average and the CPUs online.
double load_average();
int cpus_online();

}  // namespace bench
