// collector: the simulated radio coprocessor and its sensor network.
//
// Reads its region from /etc/collector.cfg and its network from /etc/collector_sim.json (a built-in
// network of ten sensors when the file is absent), listens on 127.0.0.1:5000 for the daemon,
// writes "1" to /tmp/collector_ready once it accepts connections, and offers the control object
// "collector_sim" on the bus. Frame counts go to /tmp/collector_sim/stats.json every second and at
// exit (SIGTERM, SIGINT, SIGHUP), and to standard output at exit.
//
// `collector --check FILE` only checks a network file: every fault on standard error, exit 2 when
// there is one, 0 when the network is sound.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "control.h"
#include "json_doc.h"
#include "link_server.h"
#include "network.h"
#include "network_check.h"

namespace {

constexpr const char *kReadyFile = "/tmp/collector_ready";
constexpr const char *kStatsDirectory = "/tmp/collector_sim";
constexpr const char *kStatsFile = "/tmp/collector_sim/stats.json";

sim::Network g_network;
uloop_timeout g_stats_timer{};

void on_signal(int) { uloop_end(); }

std::string configured_region() {
  std::ifstream in("/etc/collector.cfg");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("region=", 0) == 0) return line.substr(7);
  return "US915";
}

void write_stats() {
  const sim::Json stats(sim::stats_json(g_network));
  sim::write_json_file(kStatsFile, stats.get());
}

void on_stats_timer(uloop_timeout *timer) {
  write_stats();
  uloop_timeout_set(timer, 1000);
}

int check_only(const char *path) {
  const std::vector<std::string> faults = sim::check_network_file(path);
  for (const std::string &fault : faults) std::fprintf(stderr, "%s\n", fault.c_str());
  return faults.empty() ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--check") return check_only(argv[2]);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = on_signal;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);

  uloop_init();
  const std::string region = configured_region();
  sim::init_network(g_network, sim::load_network_config("/etc/collector_sim.json"), region);
  sim::LinkServer server;
  if (!sim::start_link_server(server, g_network)) {
    uloop_done();
    return 1;
  }
  mkdir(kStatsDirectory, 0755);
  if (std::FILE *ready = std::fopen(kReadyFile, "w")) {
    std::fputs("1", ready);
    std::fclose(ready);
  }
  std::printf("collector: region %s, %zu sensors, time scale %g, listening on 127.0.0.1:5000\n", region.c_str(),
              g_network.sensors.size(), g_network.config.time_scale);
  sim::start_control(g_network);
  g_stats_timer.cb = on_stats_timer;
  uloop_timeout_set(&g_stats_timer, 1000);

  uloop_run();

  unlink(kReadyFile);
  write_stats();
  const sim::Json stats(sim::stats_json(g_network));
  std::printf("collector: frame counts %s\n", sim::json_text(stats.get()).c_str());
  sim::stop_control();
  sim::stop_link_server(server);
  for (auto it = g_network.sensors.begin(); it != g_network.sensors.end();) sim::drop_sensor(g_network, (it++)->first);
  uloop_done();
  return 0;
}
