#include "profile_split.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <utility>

namespace bench {

namespace {

// Parts of the floor, each known by a function on the sample's stack; the first that matches
// counts. The shell and uci runs include starting them (popen's spawn and exec of the shell, in
// the daemon's process until the shell takes over) and reading their answer.
struct FloorPart {
  const char *name;
  std::vector<const char *> functions;
};
const FloorPart kFloorParts[] = {
    {"floor: shell and uci runs",
     {"_IO_new_popen", "_IO_new_proc_open", "_IO_new_proc_close", "__spawni", "__spawnix", "execve", "read_pipe_line"}},
    {"floor: sensorlist reads, in-process", {"get_line", "get_first_line", "get_int_value", "keep_sensorlist_parsed"}},
    {"floor: transmit thread's 5 ms poll", {"transmit_thread"}},
    {"floor: cloud readiness probe", {"cloud_agent_ready"}},
    {"floor: live-value write", {"share_memory_write_noneblock"}},
    {"floor: the two forks and their ends", {"fork_process", "__libc_fork", "_Fork", "do_exit", "__wait4"}},
    // A process forked from another shares its pages until one of them writes: the first write to
    // each page, in the main process as in the handler, copies it.
    {"floor: page faults, pages copied after the forks", {"asm_exc_page_fault"}},
};

// By part of the name: the C library's own names carry prefixes ("__GI___wait4"), C++ ones their
// namespaces.
bool on_stack(const ProfileSample &sample, const char *function) {
  return std::any_of(sample.symbols.begin(), sample.symbols.end(),
                     [&](const std::string &symbol) { return symbol.find(function) != std::string::npos; });
}

std::string short_object(const std::string &object) {
  if (object.starts_with("[kernel")) return "kernel";
  const std::size_t slash = object.rfind('/');
  return slash == std::string::npos ? object : object.substr(slash + 1);
}

// The object the sample ran in: an inlined frame's is that of the frame it was inlined into.
std::string library_of(const ProfileSample &sample) {
  for (const std::string &object : sample.objects)
    if (!object.empty() && object != "inlined") return short_object(object);
  return "?";
}

// The daemon's innermost function on the stack: the one of its own code that was running or called
// the library that was.
std::string daemon_function(const ProfileSample &sample) {
  for (std::size_t i = 0; i < sample.symbols.size(); ++i)
    if (sample.objects[i].ends_with("/vorn_mgr") && sample.symbols[i] != "[unknown]") return sample.symbols[i];
  return "(no daemon frame)";
}

void print_rows(const char *title, const std::map<std::string, double> &parts, double us_per_sample) {
  std::vector<std::pair<std::string, double>> rows(parts.begin(), parts.end());
  std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
  std::printf("    %s:\n", title);
  double rest = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i < 12) std::printf("      %-52s %7.0f us\n", rows[i].first.c_str(), rows[i].second * us_per_sample);
    else rest += rows[i].second;
  }
  if (rest > 0) std::printf("      %-52s %7.0f us\n", "(the rest)", rest * us_per_sample);
}

}  // namespace

std::vector<ProfileSample> parse_perf_script(const std::string &script_text) {
  std::vector<ProfileSample> samples;
  std::istringstream lines(script_text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (line[0] != ' ' && line[0] != '\t') {  // "comm pid": a sample starts
      std::istringstream head(line);
      ProfileSample sample;
      head >> sample.command >> sample.pid;
      samples.push_back(std::move(sample));
      continue;
    }
    if (samples.empty()) continue;
    // "\taddress symbol (object)"
    std::istringstream fields(line);
    std::string address, rest;
    if (!(fields >> address)) continue;
    std::getline(fields >> std::ws, rest);
    const std::size_t open = rest.rfind(" (");
    ProfileSample &sample = samples.back();
    sample.symbols.push_back(open == std::string::npos ? rest : rest.substr(0, open));
    sample.objects.push_back(open == std::string::npos || rest.back() != ')' ? "" : rest.substr(open + 2, rest.size() - open - 3));
  }
  return samples;
}

std::string floor_part_of(const ProfileSample &sample) {
  if (sample.command == "sh" || sample.command == "uci") return kFloorParts[0].name;
  for (const FloorPart &part : kFloorParts)
    for (const char *function : part.functions)
      if (on_stack(sample, function)) return part.name;
  return "";
}

void print_profile_split(const std::vector<ProfileSample> &samples, double frame_us, double floor_us, double bare_fork_us) {
  if (samples.empty() || frame_us <= 0) {
    std::printf("profile split: no samples\n");
    return;
  }
  const double us_per_sample = frame_us / static_cast<double>(samples.size());
  std::map<std::string, double> floor_parts, by_function, by_library;
  double own = 0;
  for (const ProfileSample &sample : samples) {
    const std::string part = floor_part_of(sample);
    if (!part.empty()) {
      floor_parts[part] += 1;
      continue;
    }
    own += 1;
    by_function[daemon_function(sample)] += 1;
    by_library[library_of(sample)] += 1;
  }
  const double fork_us = std::max(bare_fork_us, 1.0);
  std::printf("frame CPU split (%.0f us per frame, %.2f bare forks of %.0f us, %zu samples; the old design floor measured "
              "beside the stream: %.0f us):\n",
              frame_us, frame_us / fork_us, bare_fork_us, samples.size(), floor_us);
  for (const FloorPart &part : kFloorParts)
    std::printf("  %-54s %7.0f us %5.2f bare forks\n", part.name, floor_parts[part.name] * us_per_sample,
                floor_parts[part.name] * us_per_sample / fork_us);
  std::printf("  %-54s %7.0f us %5.2f bare forks (%.2f of the floor's parts above)\n", "the daemon's own share",
              own * us_per_sample, own * us_per_sample / fork_us, own / std::max(1.0, static_cast<double>(samples.size()) - own));
  print_rows("by the daemon's function it ran in", by_function, us_per_sample);
  print_rows("by library", by_library, us_per_sample);
}

}  // namespace bench
