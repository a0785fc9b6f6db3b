// mqtt_bench: the MQTT agent between the bus and a real mosquitto broker, measured.
//
// Starts mosquitto on 127.0.0.1:1883 and the agent, then plays the daemon: 100 sensors send logged
// data reports to the agent's "transmit". A subscriber counts the state messages the broker
// delivers; each report makes exactly one, numbered in order, so the n-th delivery belongs to the
// n-th call. Two runs: 100 reports a second (every sensor once a second, the radio's limit for a
// hundred sensors) for latency, then as fast as the bus takes them for the sustained rate. The
// agent's resident memory is read after each (goal: under 8 MiB). Then the broker stops while
// reports go on, and starts again: the bytes the agent wrote to its queue file per delivered
// message are given for both, the broker up (goal: 0) and away. Figures go to a table and to
// RESULTS.json (default $VORN_BUILD_DIR/bench/mqtt_results.json).
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

// The agent's counters that tell what its queue wrote.
struct QueueFigures {
  long long written = 0, delivered = 0, waiting = 0;
  bool connected = false;
};

QueueFigures queue_figures(ubus_context *bus) {
  const sim::Json stats = sim::call_json(bus, "mqtt_agent", "stats", "{}");
  QueueFigures figures;
  figures.written = sim::int_member(stats.get(), "queue_bytes_written");
  figures.delivered = sim::int_member(stats.get(), "delivered");
  figures.waiting = sim::int_member(stats.get(), "waiting");
  json_object *connected = sim::member(stats.get(), "connected");
  figures.connected = connected != nullptr && json_object_get_boolean(connected);
  return figures;
}

template <typename Condition>
bool wait_until(Condition condition, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

double per_message(const QueueFigures &before, const QueueFigures &after) {
  const long long delivered = after.delivered - before.delivered;
  return delivered > 0 ? static_cast<double>(after.written - before.written) / static_cast<double>(delivered) : -1;
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
  pid_t broker = sim::start_program({"mosquitto", "-c", "/tmp/mqtt_bench_broker.conf"}, "/tmp/mqtt_bench_broker.log");
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
    const QueueFigures up_before = queue_figures(bus.get());
    const RunFigures paced = run(bus.get(), deliveries, 1, 1000, 100, agent);
    const QueueFigures steady_before = queue_figures(bus.get());  // every sensor known and saved
    const RunFigures fast = run(bus.get(), deliveries, 1001, 5000, 0, agent);
    const QueueFigures up_after = queue_figures(bus.get());
    // The broker away for 1000 reports at 100 a second, then back until the queue is empty.
    stop(broker);
    wait_until([&] { return !queue_figures(bus.get()).connected; }, 10);
    const QueueFigures away_before = queue_figures(bus.get());
    const Clock::time_point away_start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
      std::this_thread::sleep_until(away_start + std::chrono::milliseconds(10 * i));
      const std::string arguments = std::string(R"({"id":"vorn_mgr","msg":)") +
                                    sim::json_text(sim::Json(json_object_new_string(envelope(i % kSensors, i).c_str())).get()) + "}";
      sim::call_json(bus.get(), "mqtt_agent", "transmit", arguments);
    }
    std::this_thread::sleep_for(std::chrono::seconds(6));  // the last batch is written
    const QueueFigures away_waiting = queue_figures(bus.get());
    broker = sim::start_program({"mosquitto", "-c", "/tmp/mqtt_bench_broker.conf"}, "/tmp/mqtt_bench_broker.log");
    wait_until([&] { const QueueFigures now = queue_figures(bus.get()); return now.connected && now.waiting == 0; }, 60);
    std::this_thread::sleep_for(std::chrono::seconds(6));  // acknowledged rows leave the file in batches
    const QueueFigures away_after = queue_figures(bus.get());
    const double up_bytes = per_message(up_before, up_after);
    const double steady_bytes = per_message(steady_before, up_after);
    const double away_bytes = per_message(away_before, away_after);
    const long rss_after_away = resident_kib(agent);
    std::printf("mqtt bench: %d sensors, logged data reports to the agent's transmit, state messages from the broker\n", kSensors);
    std::printf("  %-44s %10s %10s %10s %10s %10s\n", "run", "reports", "per s", "p50 ms", "p99 ms", "max ms");
    std::printf("  %-44s %10d %10.0f %10.2f %10.2f %10.2f\n", "100 a second (each sensor once a second)", paced.reports,
                paced.delivered_per_second, paced.p50_ms, paced.p99_ms, paced.max_ms);
    std::printf("  %-44s %10d %10.0f %10.2f %10.2f %10.2f\n", "as fast as the bus takes them", fast.reports,
                fast.delivered_per_second, fast.p50_ms, fast.p99_ms, fast.max_ms);
    std::printf("  agent resident memory: %ld KiB idle, %ld KiB after 100/s, %ld KiB after the fast run, %ld KiB after the"
                " broker was away (goal: under 8192 KiB)\n",
                idle_kib, paced.agent_kib, fast.agent_kib, rss_after_away);
    std::printf("  queue file, bytes written per delivered message with the broker up (goal 0): %.1f over both runs"
                " (%lld messages; the 100 sensors' descriptions are saved once as they appear), %.1f over the fast run\n",
                up_bytes, up_after.delivered - up_before.delivered, steady_bytes);
    std::printf("  queue file, bytes written per delivered message while the broker was away: %.1f (%lld messages; %lld bytes"
                " written while it was away, %lld once it was back)\n",
                away_bytes, away_after.delivered - away_before.delivered, away_waiting.written - away_before.written,
                away_after.written - away_waiting.written);
    std::ofstream out(results);
    out << "{\"sensors\":" << kSensors << ",\"paced_reports\":" << paced.reports << ",\"paced_per_second\":" << paced.delivered_per_second
        << ",\"paced_latency_p50_ms\":" << paced.p50_ms << ",\"paced_latency_p99_ms\":" << paced.p99_ms
        << ",\"sustained_reports\":" << fast.reports << ",\"sustained_per_second\":" << fast.delivered_per_second
        << ",\"sustained_latency_p99_ms\":" << fast.p99_ms << ",\"agent_rss_idle_kib\":" << idle_kib
        << ",\"agent_rss_load_kib\":" << std::max(paced.agent_kib, fast.agent_kib)
        << ",\"agent_rss_after_away_kib\":" << rss_after_away << ",\"queue_bytes_per_message_broker_up\":" << up_bytes
        << ",\"queue_bytes_per_message_broker_up_steady\":" << steady_bytes
        << ",\"queue_bytes_per_message_broker_away\":" << away_bytes << "}\n";
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
