// The whole gateway in a router sandbox for the simulator tests: the cloud agent, vorn_mgr (which
// starts the simulated collector) and helpers to read what each of them shows.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bus_json.h"
#include "json_doc.h"

namespace sim::test {

constexpr const char *kDaemonOutput = "/tmp/vorn_mgr.out";

inline std::string file_text(const char *path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string shell(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

inline std::size_t occurrences(const std::string &text, const std::string &needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

inline std::size_t daemon_lines(const std::string &needle) { return occurrences(file_text(kDaemonOutput), needle); }

// Polls until the condition holds or `seconds` pass (generous: the machine is shared).
template <typename Condition>
bool eventually(Condition condition, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return condition();
}

// A JSON answer of a bus object ("ubus call OBJECT METHOD ARGS"), null when it did not answer.
inline Json bus_call(const char *object, const char *method, const std::string &arguments = "") {
  uloop_init();
  Bus bus(ubus_connect(nullptr));
  Json reply = call_json(bus.get(), object, method, arguments, 5000);
  bus.reset();
  uloop_done();
  return reply;
}

inline long long count_of(json_object *stats, const char *group, const char *kind) {
  return int_member(member(stats, group), kind, 0);
}

inline pid_t start_program(const char *path, const char *output) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execl(path, path, static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

inline void stop_program(pid_t &pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// The sensorlist option of a sensor, without its line end ("" when absent).
inline std::string sensor_option(const std::string &id, const char *option) {
  std::string value = shell("uci -q get sensorlist.@" + id + "[]." + option);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// Frames the collector sent, against what the daemon printed or answered for each kind, once the
// sensors are paused and the last handler has run. `consumed` counts the frames a removal took:
// a frame of a sensor marked for removal only brings its removal request.
inline void expect_every_frame_handled(int settle_seconds) {
  Json stats;
  std::string mismatch;
  const auto agree = [&] {
    stats = bus_call("collector_sim", "stats");
    const long long consumed = count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_NEW_REQ") +
                               count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_REQ") -
                               count_of(stats.get(), "Sent", "APP_DEVICE_NOTACTIVE_UPDATE_IND");
    const struct {
      const char *kind;
      long long handled;
    } kinds[] = {
        {"APP_DEVICE_JOINED_IND", static_cast<long long>(daemon_lines("Device Joined:\n") + daemon_lines("Device Re-Joined:\n"))},
        {"APP_DEVICE_LEFT_IND", static_cast<long long>(daemon_lines("Device Left: "))},
        {"APP_DEVICE_NOTACTIVE_UPDATE_IND", static_cast<long long>(daemon_lines("Device NotActive:\n"))},
        {"APP_GET_NWK_INFO_CNF", static_cast<long long>(daemon_lines("Get Network Info:\n"))},
        {"APP_COLLECTOR_STATE_CNG_IND", static_cast<long long>(daemon_lines("Collector State Change: "))},
        {"APP_TX_DATA_CNF", static_cast<long long>(daemon_lines("Tx Data Request Result: "))},
        {"ConfigRsp", static_cast<long long>(daemon_lines(": ConfigRsp: 0x"))},
        {"SensorData", static_cast<long long>(daemon_lines(": Sensor 0x")) + consumed},
        {"SetSensorResponse", static_cast<long long>(daemon_lines("Receive Set Sensor Response from"))},
        {"GetSensorResponse", static_cast<long long>(daemon_lines("Receive Get Sensor Respones from"))},
        {"IdentificationRequest", count_of(stats.get(), "Answered", "IdentificationRequest")},
        {"DataFrameRequest", count_of(stats.get(), "Answered", "DataFrameRequest")},
        {"SensorStatusRequest", count_of(stats.get(), "Answered", "SensorStatusRequest")},
    };
    mismatch.clear();
    for (const auto &k : kinds)
      if (count_of(stats.get(), "Sent", k.kind) != k.handled)
        mismatch += std::string(k.kind) + ": sent " + std::to_string(count_of(stats.get(), "Sent", k.kind)) +
                    ", handled " + std::to_string(k.handled) + "\n";
    return mismatch.empty();
  };
  EXPECT_TRUE(eventually(agree, settle_seconds)) << mismatch << json_text(stats.get());
  EXPECT_EQ(int_member(stats.get(), "Unmatched", -1), 0) << "replies with a tag the sensor never sent";
  EXPECT_EQ(int_member(stats.get(), "Rejected", -1), 0);
  EXPECT_EQ(int_member(stats.get(), "Dropped", -1), 0);
}

class GatewayRun : public testing::Test {
 protected:
  // Writes the network, starts the cloud agent and the daemon, and waits for the collector's link.
  void start_gateway(const std::string &network_json) {
    std::ofstream("/etc/collector_sim.json") << network_json;
    unlink(kDaemonOutput);  // a run of an earlier test case must not answer for this one
    std::system("rm -rf /tmp/cloud_agent");  // nor its reports
    agent_ = start_program("/usr/sbin/cloud_agent", "/tmp/cloud_agent.out");
    ASSERT_EQ(std::system("ubus -t 20 wait_for cloud_agent"), 0) << file_text("/tmp/cloud_agent.out");
    daemon_ = start_program("/usr/sbin/vorn_mgr", kDaemonOutput);
    ASSERT_TRUE(eventually([] { return daemon_lines("Get Network Info:\n") == 1; }, 60)) << file_text(kDaemonOutput);
  }
  void TearDown() override {
    stop_program(daemon_);
    stop_program(agent_);
    std::system("killall -q -9 vorn_mgr cm_restart; killall -q -TERM collector");
  }
  pid_t daemon_ = -1;
  pid_t agent_ = -1;
};

}  // namespace sim::test
