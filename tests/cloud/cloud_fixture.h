// The cloud tests' world: the test cloud agent on the bus, the gateway's identity as start-up sets
// it, a report for sensor 00124B0001A2B3C4, and what the agent was called with.
#pragma once

#include <gateway_lib/settings.h>
#include <gtest/gtest.h>
#include <libubus.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "../daemon/test_support.h"
#include "core/daemon_state.h"
#include "shared/sensor_report.h"

extern char **environ;

namespace vorn::test {

inline const char *const kSensorId = "00124B0001A2B3C4";
inline const char *const kGateway = "GW00124B00A1B2C3";  // register_name of the sandbox's gateway
inline const std::string kAgentDirectory = "/tmp/test_agent/";

inline void agent_file(const std::string &name, const std::string &text) { std::ofstream(kAgentDirectory + name) << text; }

// The test agent process, on the bus until the object is destroyed.
class AgentProcess {
 public:
  explicit AgentProcess(const char *name) {
    char *argv[] = {const_cast<char *>(TEST_CLOUD_AGENT), nullptr};
    if (posix_spawn(&pid_, TEST_CLOUD_AGENT, nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    ubus_context *bus = ubus_connect(nullptr);
    std::uint32_t id = 0;
    for (int i = 0; bus != nullptr && i < 400 && ubus_lookup_id(bus, name, &id) != 0; ++i) usleep(25000);
    if (bus != nullptr) ubus_free(bus);
    if (id == 0) ADD_FAILURE() << "the test agent did not come up";
  }
  ~AgentProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  AgentProcess(const AgentProcess &) = delete;
  AgentProcess &operator=(const AgentProcess &) = delete;

 private:
  pid_t pid_ = -1;
};

class CloudFixture : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    get_register_name(core::daemon_state.gateway_id);
    get_cloud_ubus_name(&core::daemon_state.cloud_agent_name);
    std::system(("mkdir -p " + kAgentDirectory).c_str());
    agent = new AgentProcess(core::daemon_state.cloud_agent_name);
  }
  static void TearDownTestSuite() {
    delete agent;
    agent = nullptr;
  }
  void SetUp() override {
    std::system(("rm -f " + kAgentDirectory + "*").c_str());
    core::daemon_state.debug_level = 0;
    report = shared::SensorReport{};
    std::strcpy(report.sensor_id, kSensorId);
  }

  // "<method> <id> <msg>" of every call the agent got, in order.
  static std::vector<std::string> calls() {
    std::vector<std::string> out;
    std::ifstream in(kAgentDirectory + "calls.log");
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  // The "msg" texts of the "transmit" calls.
  static std::vector<std::string> transmitted() {
    std::vector<std::string> out;
    for (const std::string &call : calls())
      if (call.rfind("transmit vorn_mgr ", 0) == 0) out.push_back(call.substr(18));
    return out;
  }

  static inline AgentProcess *agent = nullptr;
  shared::SensorReport report{};
};

// The envelope of a report of this sensor with the body's text as the escaped string "Body".
inline std::string envelope(int type, const std::string &body) {
  std::string escaped;
  for (char c : body) {
    if (c == '"' || c == '\\' || c == '/') escaped += '\\';
    escaped += c;
  }
  return std::string("{\"ID\":\"") + kSensorId + "\",\"GatewayID\":\"" + kGateway + "\",\"Type\":" + std::to_string(type) +
         ",\"Body\":\"" + escaped + "\"}";
}

}  // namespace vorn::test
