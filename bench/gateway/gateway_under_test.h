// The whole gateway in the router sandbox for the benchmark: the cloud agent and vorn_mgr (which
// starts the simulated collector), the collector's control, and what the daemon says it handled.
//
// The benchmark becomes the reaper of every orphan below it, so the handler processes (whose
// parent exits at once) are waited for here and their CPU time, with that of everything they ran,
// lands in this process's children's usage.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "json_doc.h"

namespace bench {

// Counts a text in a growing file, reading only what was added since the last look.
class OutputCounter {
 public:
  OutputCounter(std::string path, std::string needle) : path_(std::move(path)), needle_(std::move(needle)) {}
  std::uint64_t count();

 private:
  std::string path_, needle_, carry_;
  long long offset_ = 0;
  std::uint64_t count_ = 0;
};

// Waits for every child and orphan of this process, from its own thread, and remembers who ended.
class Reaper {
 public:
  Reaper();
  ~Reaper();
  Reaper(const Reaper &) = delete;
  Reaper &operator=(const Reaper &) = delete;
  bool ended(pid_t pid);

 private:
  void run();
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::set<pid_t> ended_;
  std::thread thread_;
};

class GatewayUnderTest {
 public:
  // Writes the network, starts the cloud agent and the daemon and waits for the collector's link.
  bool start(const std::string &network_json, std::string &why);
  ~GatewayUnderTest();

  pid_t daemon() const { return daemon_; }
  // The daemon's command process: its child that stays (0 when there is none).
  pid_t command_process() const;
  // Handler processes alive now: every vorn_mgr but the main and the command process.
  std::vector<pid_t> handlers() const;

  // The collector's control ("ubus call collector_sim METHOD ARGS"); null when it did not answer.
  sim::Json collector(const char *method, const std::string &arguments = "") const;
  // SensorData frames the daemon printed as handled.
  std::uint64_t handled_sensor_data() { return handled_.count(); }
  // Waits (up to `seconds`) until no handler process is left and the reaper has had them.
  bool settle(int seconds) const;

  // Another program beside the gateway (a profiler), its output to `output`; and its end: the
  // signal, then up to `seconds` for it to go.
  pid_t start_beside(const std::vector<std::string> &argv, const char *output);
  bool end_beside(pid_t pid, int signal_number, int seconds);

 private:
  void stop();
  Reaper reaper_;
  pid_t agent_ = -1, daemon_ = -1;
  OutputCounter handled_{"/tmp/vorn_mgr.out", ": Sensor 0x"};
};

// A bus call as "ubus call OBJECT METHOD ARGS" makes it, with its own connection.
sim::Json bus_call(const char *object, const char *method, const std::string &arguments = "");
long long count_of(json_object *stats, const char *group, const char *kind);
double monotonic_seconds();
void pause_s(double seconds);

}  // namespace bench
