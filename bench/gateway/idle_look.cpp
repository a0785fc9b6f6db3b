#include "idle_look.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "gateway_under_test.h"
#include "proc_stats.h"

namespace bench {

namespace {

struct Process {
  const char *role;
  pid_t pid;
  std::vector<ThreadTime> before, after;
};

double cpu_before(const Process &p, pid_t tid) {
  const auto it = std::find_if(p.before.begin(), p.before.end(), [&](const ThreadTime &t) { return t.tid == tid; });
  return it != p.before.end() ? it->cpu_s : 0;  // a thread started meanwhile had none
}

}  // namespace

IdleLook look_at_idle(pid_t main_process, pid_t command_process, int seconds) {
  Process processes[] = {{"main", main_process, {}, {}}, {"command", command_process, {}, {}}};
  for (Process &p : processes) p.before = thread_times(p.pid);
  const double from = monotonic_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = monotonic_seconds() - from;
  for (Process &p : processes) p.after = thread_times(p.pid);

  IdleLook look;
  look.threads = json_object_new_array();
  double cpu = 0;
  for (const Process &p : processes)
    for (const ThreadTime &t : p.after) {
      const double used = t.cpu_s - cpu_before(p, t.tid);
      cpu += used;
      json_object *thread = json_object_new_object();
      json_object_object_add(thread, "process", json_object_new_string(p.role));
      json_object_object_add(thread, "tid", json_object_new_int(t.tid));
      json_object_object_add(thread, "name", json_object_new_string(t.name.c_str()));
      json_object_object_add(thread, "percent_of_a_core", json_object_new_double(used / wall * 100));
      json_object_array_add(look.threads, thread);
    }
  look.percent_of_a_core = cpu / wall * 100;
  return look;
}

}  // namespace bench
