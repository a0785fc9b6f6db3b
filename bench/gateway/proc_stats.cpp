#include "proc_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

std::string file_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A "Key:   123 kB" line of /proc/PID/status or smaps_rollup.
long kib_field(const std::string &path, const char *key) {
  std::ifstream in(path);
  std::string line;
  const std::size_t length = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':')
      return std::atol(line.c_str() + length + 1);
  return 0;
}

std::vector<pid_t> numeric_entries(const std::string &folder) {
  std::vector<pid_t> ids;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return ids;
  while (dirent *entry = readdir(dir)) {
    char *end = nullptr;
    const long id = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0') ids.push_back(static_cast<pid_t>(id));
  }
  closedir(dir);
  return ids;
}

}  // namespace

ProcessInfo read_process(pid_t pid) {
  ProcessInfo info;
  const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
  // "pid (name) state ppid ..."; the name may hold spaces and parentheses, so it ends at the last ')'.
  const std::size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return info;
  std::istringstream rest(stat.substr(close + 2));
  std::string state;
  long long field[20] = {};
  rest >> state;
  for (long long &f : field) rest >> f;  // ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime cutime cstime ...
  if (!rest) return info;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  info.pid = pid;
  info.parent = static_cast<pid_t>(field[0]);
  info.name = stat.substr(open + 1, close - open - 1);
  info.own_cpu_s = static_cast<double>(field[10] + field[11]) / tick;
  info.children_cpu_s = static_cast<double>(field[12] + field[13]) / tick;
  info.started = field[18];
  return info;
}

std::vector<ProcessInfo> processes_named(const std::string &name) {
  std::vector<ProcessInfo> found;
  for (pid_t pid : numeric_entries("/proc")) {
    ProcessInfo info = read_process(pid);
    if (info.pid != 0 && info.name == name) found.push_back(info);
  }
  return found;
}

long resident_kib(pid_t pid) { return kib_field("/proc/" + std::to_string(pid) + "/status", "VmRSS"); }

long proportional_kib(pid_t pid) { return kib_field("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss"); }

std::vector<ThreadTime> thread_times(pid_t pid) {
  std::vector<ThreadTime> threads;
  const std::string folder = "/proc/" + std::to_string(pid) + "/task";
  for (pid_t tid : numeric_entries(folder)) {
    const std::string task = folder + "/" + std::to_string(tid);
    double ns = 0;
    std::istringstream(file_text(task + "/schedstat")) >> ns;
    std::string name = file_text(task + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    threads.push_back({tid, name, ns / 1e9});
  }
  return threads;
}

double total_cpu_s(const std::vector<ThreadTime> &threads) {
  double total = 0;
  for (const ThreadTime &t : threads) total += t.cpu_s;
  return total;
}

double load_average() {
  double one = -1;
  std::istringstream(file_text("/proc/loadavg")) >> one;
  return one;
}

int cpus_online() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

}  // namespace bench
