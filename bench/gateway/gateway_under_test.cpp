#include "gateway_under_test.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <vector>

#include "bus_json.h"
#include "proc_stats.h"
#include "program_start.h"

namespace bench {

namespace {

constexpr const char *kDaemonOutput = "/tmp/vorn_mgr.out";

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <typename Condition>
bool eventually(Condition condition, int seconds) {
  const double deadline = monotonic_seconds() + seconds;
  while (monotonic_seconds() < deadline) {
    if (condition()) return true;
    pause_ms(50);
  }
  return condition();
}

bool on_bus(const char *object) {
  uloop_init();
  sim::Bus bus(ubus_connect(nullptr));
  std::uint32_t id = 0;
  const bool found = bus && ubus_lookup_id(bus.get(), object, &id) == 0;
  bus.reset();
  uloop_done();
  return found;
}

}  // namespace

void pause_s(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

sim::Json bus_call(const char *object, const char *method, const std::string &arguments) {
  uloop_init();
  sim::Bus bus(ubus_connect(nullptr));
  sim::Json reply = bus ? sim::call_json(bus.get(), object, method, arguments, 5000) : sim::Json();
  bus.reset();
  uloop_done();
  return reply;
}

long long count_of(json_object *stats, const char *group, const char *kind) {
  return sim::int_member(sim::member(stats, group), kind, 0);
}

std::uint64_t OutputCounter::count() {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return count_;
  in.seekg(offset_);
  std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  offset_ += static_cast<long long>(added.size());
  // A needle cut by the end of the last look is found with the bytes kept from it.
  const std::string text = carry_ + added;
  for (std::size_t at = text.find(needle_); at != std::string::npos; at = text.find(needle_, at + needle_.size()))
    ++count_;
  const std::size_t keep = std::min(text.size(), needle_.size() - 1);
  carry_ = text.substr(text.size() - keep);
  return count_;
}

Reaper::Reaper() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  thread_ = std::thread([this] { run(); });
}

Reaper::~Reaper() {
  stop_ = true;
  thread_.join();
}

void Reaper::run() {
  while (!stop_) {
    const pid_t pid = waitpid(-1, nullptr, WNOHANG);
    if (pid > 0) {
      const std::lock_guard lock(mutex_);
      ended_.insert(pid);
      continue;
    }
    pause_ms(5);
  }
}

bool Reaper::ended(pid_t pid) {
  const std::lock_guard lock(mutex_);
  return ended_.count(pid) != 0;
}

bool GatewayUnderTest::start(const std::string &network_json, std::string &why) {
  std::ofstream("/etc/collector_sim.json") << network_json;
  agent_ = sim::start_program({"/usr/sbin/cloud_agent"}, "/tmp/cloud_agent.out");
  if (!eventually([] { return on_bus("cloud_agent"); }, 20)) {
    why = "the cloud agent did not come up";
    return false;
  }
  daemon_ = sim::start_program({"/usr/sbin/vorn_mgr"}, kDaemonOutput);
  OutputCounter link_up(kDaemonOutput, "Get Network Info:\n");
  if (!eventually([&] { return link_up.count() >= 1; }, 60)) {
    why = "the daemon did not reach the collector";
    return false;
  }
  return true;
}

GatewayUnderTest::~GatewayUnderTest() { stop(); }

void GatewayUnderTest::stop() {
  for (pid_t pid : {daemon_, agent_}) {
    if (pid <= 0) continue;
    kill(pid, SIGTERM);
    if (!eventually([&] { return reaper_.ended(pid); }, 10)) kill(pid, SIGKILL);
    eventually([&] { return reaper_.ended(pid); }, 5);
  }
  // What the daemon started lives on in this sandbox only: end it by name here, and wait for it.
  for (const char *name : {"vorn_mgr", "cm_restart", "collector"})
    for (const ProcessInfo &p : processes_named(name)) kill(p.pid, name == std::string("collector") ? SIGTERM : SIGKILL);
  eventually([] { return processes_named("collector").empty() && processes_named("vorn_mgr").empty(); }, 10);
}

pid_t GatewayUnderTest::command_process() const {
  // The main process's first child that is still there: the others are the short-lived first
  // halves of the per-frame forks.
  ProcessInfo oldest;
  for (const ProcessInfo &p : processes_named("vorn_mgr"))
    if (p.parent == daemon_ && (oldest.pid == 0 || p.started < oldest.started)) oldest = p;
  return oldest.pid;
}

std::vector<pid_t> GatewayUnderTest::handlers() const {
  std::vector<pid_t> found;
  const pid_t command = command_process();
  for (const ProcessInfo &p : processes_named("vorn_mgr"))
    if (p.pid != daemon_ && p.pid != command) found.push_back(p.pid);
  return found;
}

pid_t GatewayUnderTest::start_beside(const std::vector<std::string> &argv, const char *output) {
  return sim::start_program(argv, output);
}

bool GatewayUnderTest::end_beside(pid_t pid, int signal_number, int seconds) {
  if (pid <= 0) return false;
  if (signal_number != 0) kill(pid, signal_number);
  return eventually([&] { return reaper_.ended(pid); }, seconds);
}

sim::Json GatewayUnderTest::collector(const char *method, const std::string &arguments) const {
  return bus_call("collector_sim", method, arguments);
}

bool GatewayUnderTest::settle(int seconds) const {
  const bool settled = eventually([&] { return handlers().empty(); }, seconds);
  pause_ms(100);  // the reaper's next look
  return settled;
}

}  // namespace bench
