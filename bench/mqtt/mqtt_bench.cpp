// mqtt_bench: the MQTT agent between the bus and a real mosquitto broker, measured.
//
// Starts mosquitto on 127.0.0.1:1883 and the agent, then plays the daemon: 100 sensors send logged
// data reports to the agent's "transmit". A subscriber counts the state messages the broker
// delivers; each report makes exactly one, numbered in order, so the n-th delivery belongs to the
// n-th call. Two runs: 100 reports a second (every sensor once a second, the radio's limit for a
// hundred sensors) for latency, then as fast as the bus takes them for the sustained rate. The
// agent's resident memory is read after each. Figures go to a table and to RESULTS.json (default
// $VORN_BUILD_DIR/bench/mqtt_results.json).
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus_json.h"
#include "program_start.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSensors = 100;

struct Deliveries {
  std::mutex mutex;
  std::vector<std::pair<long long, Clock::time_point>> arrivals;  // seq, time
};

void on_message(mosquitto *, void *self, const mosquitto_message *message) {
  const std::string payload(static_cast<const char *>(message->payload), static_cast<std::size_t>(message->payloadlen));
  const std::size_t at = payload.rfind("\"seq\":");
  if (at == std::string::npos) return;
  auto *deliveries = static_cast<Deliveries *>(self);
  std::lock_guard<std::mutex> lock(deliveries->mutex);
  deliveries->arrivals.emplace_back(std::atoll(payload.c_str() + at + 6), Clock::now());
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::string envelope(int sensor, int reading) {
  char id[17];
  std::snprintf(id, sizeof id, "00124B0009%06X", sensor);
  char body[256];
  std::snprintf(body, sizeof body,
                R"([{\"BaseTime\":%lld000,\"Values\":[{\"Name\":\"Temperature\",\"Values\":[{\"T\":0,\"V\":%d.%02d}]}]}])",
                static_cast<long long>(std::time(nullptr)), 20 + reading % 5, reading % 100);
  return std::string(R"({"ID":")") + id + R"(","GatewayID":"GWBENCH","Type":9,"Body":")" + body + "\"}";
}

struct RunFigures {
  int reports = 0;
  double seconds = 0, delivered_per_second = 0, p50_ms = 0, p99_ms = 0, max_ms = 0;
  long agent_kib = 0;
};

// Sends `total` reports, `per_second` a second (0: as fast as the calls return), and waits until
// the broker has delivered them.
RunFigures run(ubus_context *bus, Deliveries &deliveries, long long first_seq, int total, int per_second, pid_t agent) {
  std::vector<Clock::time_point> called(static_cast<std::size_t>(total));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < total; ++i) {
    if (per_second > 0) std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / per_second));
    const std::string arguments = std::string(R"({"id":"vorn_mgr","msg":)") +
                                  sim::json_text(sim::Json(json_object_new_string(envelope(i % kSensors, i).c_str())).get()) + "}";
    called[static_cast<std::size_t>(i)] = Clock::now();
    if (sim::call_json(bus, "mqtt_agent", "transmit", arguments) == nullptr) std::fprintf(stderr, "mqtt_bench: call %d failed\n", i);
  }
  std::vector<double> latencies;
  Clock::time_point last = start;
  std::size_t seen = 0;
  // Waits while deliveries still come, at most 10 s without one.
  for (int quiet = 0; quiet < 100; ++quiet) {
    {
      std::lock_guard<std::mutex> lock(deliveries.mutex);
      latencies.clear();
      for (const auto &[seq, at] : deliveries.arrivals) {
        const long long index = seq - first_seq;
        if (index < 0 || index >= total) continue;
        latencies.push_back(std::chrono::duration<double, std::milli>(at - called[static_cast<std::size_t>(index)]).count());
        last = std::max(last, at);
      }
    }
    if (static_cast<int>(latencies.size()) >= total) break;
    if (latencies.size() > seen) quiet = 0;
    seen = latencies.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  RunFigures figures;
  figures.reports = static_cast<int>(latencies.size());
  figures.seconds = std::chrono::duration<double>(last - start).count();
  figures.delivered_per_second = figures.seconds > 0 ? figures.reports / figures.seconds : 0;
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    figures.p50_ms = latencies[latencies.size() / 2];
    figures.p99_ms = latencies[latencies.size() * 99 / 100];
    figures.max_ms = latencies.back();
  }
  figures.agent_kib = resident_kib(agent);
  return figures;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char **argv) {
  const char *build = std::getenv("VORN_BUILD_DIR");
  const std::string results = argc > 1 ? argv[1] : std::string(build != nullptr ? build : ".") + "/bench/mqtt_results.json";
  std::ofstream("/tmp/mqtt_bench_broker.conf") << "listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n";
  const pid_t broker = sim::start_program({"mosquitto", "-c", "/tmp/mqtt_bench_broker.conf"}, "/tmp/mqtt_bench_broker.log");
  std::system("uci set vorn_mqtt.main.queue_file=/tmp/mqtt_bench/queue.sqlite; uci set vorn_mqtt.main.bus_name=mqtt_agent; "
              "uci commit vorn_mqtt");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const pid_t agent = sim::start_program({"/usr/sbin/mqtt_agent"}, "/tmp/mqtt_bench_agent.log");

  mosquitto_lib_init();
  Deliveries deliveries;
  mosquitto *subscriber = mosquitto_new("mqtt_bench", true, &deliveries);
  mosquitto_message_callback_set(subscriber, on_message);
  int connected = MOSQ_ERR_NO_CONN;
  for (int i = 0; i < 50 && connected != MOSQ_ERR_SUCCESS; ++i) {
    connected = mosquitto_connect(subscriber, "127.0.0.1", 1883, 30);
    if (connected != MOSQ_ERR_SUCCESS) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  mosquitto_subscribe(subscriber, nullptr, "vorn/+/+", 1);
  mosquitto_loop_start(subscriber);

  uloop_init();
  sim::Bus bus(ubus_connect(nullptr));
  bool ready = false;
  for (int i = 0; i < 100 && bus && !ready; ++i) {
    std::uint32_t id = 0;
    ready = ubus_lookup_id(bus.get(), "mqtt_agent", &id) == UBUS_STATUS_OK;
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  int status = 0;
  if (connected != MOSQ_ERR_SUCCESS || !ready) {
    std::fprintf(stderr, "mqtt_bench: %s\n", ready ? "no broker" : "the agent did not come up");
    status = 1;
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long idle_kib = resident_kib(agent);
    // Each report makes one state message; the agent numbers them from 1 in a fresh queue.
    const RunFigures paced = run(bus.get(), deliveries, 1, 1000, 100, agent);
    const RunFigures fast = run(bus.get(), deliveries, 1001, 5000, 0, agent);
    std::printf("mqtt bench: %d sensors, logged data reports to the agent's transmit, state messages from the broker\n", kSensors);
    std::printf("  %-44s %10s %10s %10s %10s %10s\n", "run", "reports", "per s", "p50 ms", "p99 ms", "max ms");
    std::printf("  %-44s %10d %10.0f %10.2f %10.2f %10.2f\n", "100 a second (each sensor once a second)", paced.reports,
                paced.delivered_per_second, paced.p50_ms, paced.p99_ms, paced.max_ms);
    std::printf("  %-44s %10d %10.0f %10.2f %10.2f %10.2f\n", "as fast as the bus takes them", fast.reports,
                fast.delivered_per_second, fast.p50_ms, fast.p99_ms, fast.max_ms);
    std::printf("  agent resident memory: %ld KiB idle, %ld KiB after 100/s, %ld KiB after the fast run\n", idle_kib,
                paced.agent_kib, fast.agent_kib);
    std::ofstream out(results);
    out << "{\"sensors\":" << kSensors << ",\"paced_reports\":" << paced.reports << ",\"paced_per_second\":" << paced.delivered_per_second
        << ",\"paced_latency_p50_ms\":" << paced.p50_ms << ",\"paced_latency_p99_ms\":" << paced.p99_ms
        << ",\"sustained_reports\":" << fast.reports << ",\"sustained_per_second\":" << fast.delivered_per_second
        << ",\"sustained_latency_p99_ms\":" << fast.p99_ms << ",\"agent_rss_idle_kib\":" << idle_kib
        << ",\"agent_rss_load_kib\":" << std::max(paced.agent_kib, fast.agent_kib) << "}\n";
    std::printf("  figures in %s\n", results.c_str());
    if (paced.reports < 1000 || fast.reports < 5000) status = 1;
  }
  bus.reset();
  uloop_done();
  mosquitto_loop_stop(subscriber, true);
  mosquitto_destroy(subscriber);
  mosquitto_lib_cleanup();
  stop(agent);
  stop(broker);
  return status;
}
