#include "profile_split.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace bench {

std::vector<ProfileRow> parse_profile_rows(const std::string &report_text) {
  std::vector<ProfileRow> rows;
  std::istringstream lines(report_text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string percent;
    ProfileRow row;
    if (!(fields >> percent >> row.command) || percent.empty() || percent.back() != '%') continue;
    std::getline(fields >> std::ws, row.object);
    row.percent = std::atof(percent.c_str());
    if (row.percent > 0) rows.push_back(row);
  }
  return rows;
}

void print_profile_split(const std::vector<ProfileRow> &rows, double frame_us, double floor_us, double forks_us) {
  double sampled = 0, process_starts = 0, daemon_kernel = 0;
  for (const ProfileRow &row : rows) {
    sampled += row.percent;
    if (row.command == "sh" || row.command == "uci") process_starts += row.percent;
    else if (row.command == "vorn_mgr" && row.object.find("[kernel") == 0) daemon_kernel += row.percent;
  }
  if (sampled <= 0 || frame_us <= 0) {
    std::printf("profile split: no samples\n");
    return;
  }
  const auto us = [&](double percent) { return percent / sampled * frame_us; };
  // The kernel's work in the daemon's own processes is the two forks (as the floor measured them)
  // and the rest of its system calls.
  const double fork_kernel_us = std::min(forks_us, us(daemon_kernel));
  std::printf("frame CPU split (%.0f us per frame, floor measured at %.0f us):\n", frame_us, floor_us);
  std::printf("  %-44s %7.0f us\n", "floor: shell and uci runs", us(process_starts));
  std::printf("  %-44s %7.0f us\n", "floor: the two forks (kernel)", fork_kernel_us);
  std::printf("  %-44s %7.0f us\n", "daemon: kernel, other system calls", us(daemon_kernel) - fork_kernel_us);
  for (const ProfileRow &row : rows) {
    if (row.command == "sh" || row.command == "uci" || (row.command == "vorn_mgr" && row.object.find("[kernel") == 0))
      continue;
    const std::string what = (row.command == "vorn_mgr" ? "daemon: " : row.command + ": ") + row.object;
    std::printf("  %-44s %7.0f us\n", what.c_str(), us(row.percent));
  }
  std::printf("  %-44s %7.0f us (%.2f x the floor)\n", "everything but the floor's process starts",
              frame_us - us(process_starts) - fork_kernel_us, frame_us / (floor_us > 0 ? floor_us : frame_us));
}

}  // namespace bench
