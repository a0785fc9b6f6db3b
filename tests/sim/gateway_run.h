// The whole gateway in a router sandbox for the simulator tests: the cloud agent, vorn_mgr (which
// starts the simulated collector) and helpers to read what each of them shows.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "../support/shell_and_file_text.h"
#include "bus_json.h"
#include "json_doc.h"
#include "program_start.h"

namespace sim::test {

constexpr const char *kDaemonOutput = "/tmp/vorn_mgr.out";

using vorn::test::file_text;
using vorn::test::shell;

inline std::size_t occurrences(const std::string &text, const std::string &needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// What the daemon (and the collector it started) printed from byte `from` of its output on.
inline std::string daemon_output(std::size_t from = 0) {
  const std::string text = file_text(kDaemonOutput);
  return from < text.size() ? text.substr(from) : std::string();
}

inline std::size_t daemon_lines(const std::string &needle, std::size_t from = 0) {
  return occurrences(daemon_output(from), needle);
}

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

// The cloud agent's count of a sensor's reports of one type.
inline long long reports_of(const std::string &id, int type) {
  const Json counts = bus_call("cloud_agent", "reports");
  return int_member(member(member(counts.get(), "Sensors"), id.c_str()), std::to_string(type).c_str(), 0);
}

// The last `limit` reports of a sensor of one type: {"Reports":[{"Body":...},...]}.
inline Json last_reports(const std::string &id, int type, int limit) {
  return bus_call("cloud_agent", "reports",
                  R"({"ID":")" + id + R"(","Type":)" + std::to_string(type) + ",\"Limit\":" + std::to_string(limit) + "}");
}

// The body of a sensor's last report of one type, "" when there is none.
inline std::string last_body(const std::string &id, int type) {
  const Json last = last_reports(id, type, 1);
  json_object *list = member(last.get(), "Reports");
  return list != nullptr && json_object_array_length(list) == 1 ? string_member(json_object_array_get_idx(list, 0), "Body")
                                                                : "";
}

inline long long count_of(json_object *stats, const char *group, const char *kind) {
  return int_member(member(stats, group), kind, 0);
}

// Ends a program the way the router does (SIGTERM); its wait status, -1 when none ran.
inline int stop_program(pid_t &pid) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = -1;
  waitpid(pid, &status, 0);
  pid = -1;
  return status;
}

// The sensorlist option of a sensor, without its line end ("" when absent).
inline std::string sensor_option(const std::string &id, const char *option) {
  std::string value = shell("uci -q get sensorlist.@" + id + "[]." + option);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// The sensor of that id in the collector's "list" answer, or null.
inline json_object *sim_sensor(json_object *list, const std::string &id) {
  json_object *sensors = member(list, "Sensors");
  for (std::size_t i = 0; sensors != nullptr && i < json_object_array_length(sensors); ++i)
    if (string_member(json_object_array_get_idx(sensors, i), "ID") == id) return json_object_array_get_idx(sensors, i);
  return nullptr;
}

// The section types of sensorlist as "uci show" lists them (a sensor's section is typed by its
// id), one per section: a sensor recorded twice shows twice.
inline std::multiset<std::string> sensorlist_sections() {
  std::multiset<std::string> sections;
  std::istringstream lines(shell("uci show sensorlist"));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos && std::count(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(equals), '.') == 1)
      sections.insert(line.substr(equals + 1));
  }
  return sections;
}

// Frames the collector sent, against what the daemon printed or answered for each kind, once the
// sensors are paused and the last handler has run; only the daemon's output from byte `from` on
// counts (a collector started afresh counts from zero). `consumed` counts the frames a removal
// took: a frame of a sensor marked for removal only brings its removal request (the other
// removals are those of sensors reported not active before they described themselves). Kinds in
// `unchecked` are left to the caller; a kind this table does not know fails the check.
// Nothing the daemon printed may be a rejection, a dropped frame or a sanitizer report.
inline void expect_every_frame_handled(int settle_seconds, std::size_t from = 0,
                                       std::initializer_list<std::string> unchecked = {}) {
  Json stats;
  std::string mismatch;
  const auto agree = [&] {
    stats = bus_call("collector_sim", "stats");
    const std::string output = daemon_output(from);
    const auto lines = [&](const char *needle) { return static_cast<long long>(occurrences(output, needle)); };
    const long long consumed = count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_NEW_REQ") +
                               count_of(stats.get(), "Received", "APP_REMOVE_DEVICE_REQ") - lines("\tnot active kill ");
    const struct {
      const char *kind;
      long long handled;
    } kinds[] = {
        {"APP_DEVICE_JOINED_IND", lines("Device Joined:\n") + lines("Device Re-Joined:\n")},
        {"APP_DEVICE_LEFT_IND", lines("Device Left: ")},
        {"APP_DEVICE_NOTACTIVE_UPDATE_IND", lines("Device NotActive:\n")},
        {"APP_NWK_INFO_IND", lines("Update Network Info:\n")},
        {"APP_GET_NWK_INFO_CNF", lines("Get Network Info:\n")},
        {"APP_GET_DEVICE_ARRAY_CNF", lines("Get Device List:\n")},
        {"APP_SET_JOIN_PERMIT_CNF", lines("Set Join Permit Result: ")},
        {"APP_COLLECTOR_STATE_CNG_IND", lines("Collector State Change: ")},
        {"APP_TX_DATA_CNF", lines("Tx Data Request Result: ")},
        {"ConfigRsp", lines(": ConfigRsp: 0x")},
        {"SensorData", lines(": Sensor 0x") + consumed},
        {"SetSensorResponse", lines("Receive Set Sensor Response from")},
        {"GetSensorResponse", lines("Receive Get Sensor Respones from")},
        {"SetDeviceValueResponse", lines("Receive Set Device Value Respones from")},
        {"GetDeviceValueResponse", lines("Receive Get Device Value Respones from")},
        {"IdentificationRequest", count_of(stats.get(), "Answered", "IdentificationRequest")},
        {"DataFrameRequest", count_of(stats.get(), "Answered", "DataFrameRequest")},
        {"SensorStatusRequest", count_of(stats.get(), "Answered", "SensorStatusRequest")},
    };
    mismatch.clear();
    long long inside_data_indications = 0;
    for_each_member(member(stats.get(), "Sent"), [&](const char *kind, json_object *count) {
      const std::string name = kind;
      if (name == "APP_DEVICE_DATA_RX_IND") return;
      if (name.rfind("APP_", 0) != 0) inside_data_indications += json_object_get_int64(count);
      if (std::find(unchecked.begin(), unchecked.end(), name) != unchecked.end() || name == "DisassociationResponse") return;
      const auto known = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto &k) { return name == k.kind; });
      if (known == std::end(kinds)) {
        mismatch += name + ": sent, and no check knows this kind\n";
      } else if (json_object_get_int64(count) != known->handled) {
        mismatch += name + ": sent " + std::to_string(json_object_get_int64(count)) + ", handled " +
                    std::to_string(known->handled) + "\n";
      }
    });
    if (inside_data_indications != count_of(stats.get(), "Sent", "APP_DEVICE_DATA_RX_IND"))
      mismatch += "APP_DEVICE_DATA_RX_IND: not the sum of the sensor frames inside\n";
    return mismatch.empty();
  };
  // The counts must also hold still for 2 s: a handler that has printed its frame may still be
  // sending a request (a clock sync after a reading), whose answer would otherwise arrive after
  // the caller takes its next output mark and be counted against the wrong collector.
  std::string last_counts;
  auto last_change = std::chrono::steady_clock::now();
  const auto settled = [&] {
    const bool agreeing = agree();
    const std::string counts = json_text(member(stats.get(), "Sent")) + json_text(member(stats.get(), "Received"));
    if (counts != last_counts) {
      last_counts = counts;
      last_change = std::chrono::steady_clock::now();
    }
    return agreeing && std::chrono::steady_clock::now() - last_change >= std::chrono::seconds(2);
  };
  EXPECT_TRUE(eventually(settled, settle_seconds)) << mismatch << json_text(stats.get());
  EXPECT_EQ(int_member(stats.get(), "Unmatched", -1), 0) << "replies with a tag the sensor never sent";
  EXPECT_EQ(int_member(stats.get(), "Rejected", -1), 0);
  EXPECT_EQ(int_member(stats.get(), "Dropped", -1), 0);
  const std::string output = daemon_output(from);
  for (const char *trouble : {"Reject!", "Wrong length!", ", dropped", "Sanitizer", "runtime error:"})
    EXPECT_EQ(output.find(trouble), std::string::npos) << trouble << " in:\n" << output.substr(output.find(trouble) > 2000 ? output.find(trouble) - 2000 : 0, 4000);
}

class GatewayRun : public testing::Test {
 protected:
  // Writes the network, starts the cloud agent and the daemon, and waits for the collector's link.
  void start_gateway(const std::string &network_json) {
    std::ofstream("/etc/collector_sim.json") << network_json;
    std::system("rm -rf /tmp/cloud_agent");  // an earlier test case's reports must not answer for this one
    start_agent();
    start_daemon();
  }
  void start_agent() {
    agent_ = start_program({"/usr/sbin/cloud_agent"}, "/tmp/cloud_agent.out");
    ASSERT_EQ(std::system("ubus -t 20 wait_for cloud_agent"), 0) << file_text("/tmp/cloud_agent.out");
  }
  // Starts the daemon with a fresh output (an earlier run must not answer for this one); it starts
  // the collector afresh, whose counts begin at zero. The old file is unlinked, not truncated:
  // processes of an earlier run that still hold it write on into the old file, not into this one.
  // Unless told not to, it waits for the collector's link.
  void start_daemon(bool wait_for_link = true) {
    unlink(kDaemonOutput);
    daemon_ = start_program({"/usr/sbin/vorn_mgr"}, kDaemonOutput);
    if (!wait_for_link) return;
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
