// What /proc shows of the sandbox's processes: parents, states, descriptors and resident memory,
// for tests that check the daemon leaves no zombie and its long-lived processes do not grow.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sim::test {

struct ProcessInfo {
  pid_t pid = 0;
  pid_t parent = 0;
  char state = '?';
  std::string name;
  unsigned long long started = 0;  // clock ticks after boot
};

// The process's /proc/<pid>/stat fields; nothing when it is gone.
inline std::optional<ProcessInfo> process_info(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  // The name is in parentheses and may hold blanks or parentheses itself: it ends at the last ')'.
  const std::size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  ProcessInfo info;
  info.pid = pid;
  info.name = text.substr(open + 1, close - open - 1);
  std::istringstream rest(text.substr(close + 1));
  std::string field;
  rest >> info.state >> info.parent;
  for (int i = 4; i < 22 && rest >> field; ++i) {  // fields 5..21, then 22: the start time
  }
  rest >> info.started;
  return info;
}

inline std::vector<ProcessInfo> all_processes() {
  std::vector<ProcessInfo> processes;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return processes;
  while (const dirent *entry = readdir(proc)) {
    char *end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (auto info = process_info(static_cast<pid_t>(pid))) processes.push_back(*info);
  }
  closedir(proc);
  return processes;
}

// "pid name (parent pid)" of every zombie, one per line; empty when there is none.
inline std::string zombies() {
  std::string list;
  for (const ProcessInfo &p : all_processes())
    if (p.state == 'Z') list += std::to_string(p.pid) + " " + p.name + " (parent " + std::to_string(p.parent) + ")\n";
  return list;
}

inline std::size_t processes_named(const std::string &name) {
  std::size_t count = 0;
  for (const ProcessInfo &p : all_processes()) count += p.name == name && p.state != 'Z';
  return count;
}

// Whether only the daemon's main and command process are left within `seconds`: the last
// handlers may still be finishing what follows their last output line (a commit, say).
inline bool only_long_lived_daemon_processes(int seconds) {
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    if (processes_named("vorn_mgr") == 2) return true;
    usleep(100 * 1000);
  }
  return processes_named("vorn_mgr") == 2;
}

// The command process of a daemon: the oldest child of its main process that runs vorn_mgr (the
// other children are the short-lived ones that fork a frame's handler). 0 when there is none.
inline pid_t command_process_of(pid_t main_process) {
  std::optional<ProcessInfo> oldest;
  for (const ProcessInfo &p : all_processes())
    if (p.parent == main_process && p.name == "vorn_mgr" && p.state != 'Z' && (!oldest || p.started < oldest->started))
      oldest = p;
  return oldest ? oldest->pid : 0;
}

// Open descriptors of a process; -1 when it is gone.
inline int descriptor_count(pid_t pid) {
  DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (fds == nullptr) return -1;
  int count = 0;
  while (const dirent *entry = readdir(fds)) count += entry->d_name[0] != '.';
  closedir(fds);
  return count;
}

// Resident memory in kB (VmRSS); -1 when the process is gone.
inline long resident_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace sim::test
