// vorn_web with the gateway's 100 sensors: how many /api/sensors requests per second it answers
// (clients on kept-alive connections, for BENCH_WEB_SECONDS, default 10), how long one takes, and
// its resident memory idle and under that load, with kStreams event streams open throughout (the
// bound it must stay under: kResidentLimitKib; BENCH_WEB_STREAMS streams, default 20). A table on standard output; the figures also go to
// RESULTS.json (default $VORN_BUILD_DIR/bench/web_results.json).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "json_doc.h"
#include "program_start.h"

namespace {

constexpr int kSensors = 100;
constexpr int kPort = 8080;
constexpr int kClients = 4;
constexpr long kResidentLimitKib = 8 * 1024;

using Clock = std::chrono::steady_clock;

std::string network() {
  std::string list;
  for (int i = 1; i <= kSensors; ++i) {
    char sensor[400];
    std::snprintf(sensor, sizeof sensor,
                  R"(%s{"ExtAddress":"00124B00060000%02X","ShortAddress":"%04X","ModelName":"VT-WB%d","EventInterval":60,)"
                  R"("Channels":[{"Name":"Temperature","Type":1,"Unit":"C","Base":%d},{"Name":"Humidity","Type":2,"Unit":"%%RH"}]})",
                  i == 1 ? "" : ",", i, i, i, 15 + i % 10);
    list += sensor;
  }
  // One reading per sensor every 3 s: the page's data keeps changing during the measurement.
  return R"({"TimeScale":20,"JoinSpacing":0.05,"Sensors":[)" + list + "]}";
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Resident KiB of a process's mappings: those of files (programs and libraries, shared with others
// on the router) and the rest (heap, stacks: the process's own).
std::pair<long, long> resident_split_kib(pid_t pid) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  long files = 0, own = 0;
  bool file = false;
  for (std::string line; std::getline(smaps, line);) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17) {
      file = line.find(" /") != std::string::npos;
    } else if (line.rfind("Rss:", 0) == 0) {
      (file ? files : own) += std::atol(line.c_str() + 4);
    }
  }
  return {files, own};
}

// One kept-alive HTTP connection doing GET requests.
class Client {
 public:
  Client() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // Asks for the event stream; true once its answer began.
  bool open_stream() {
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (fd_ < 0 || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      return false;
    return fill() && buffer_.compare(0, 12, "HTTP/1.1 200") == 0;
  }
  // Reads what arrives within timeout_ms; the bytes read, -1 once the stream ended.
  long drain(int timeout_ms) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) return 0;
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    return got > 0 ? got : -1;
  }

  // The body of a 200 answer, or nothing on any failure.
  bool get(const std::string &target, std::string &body) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (fd_ < 0 || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      return false;
    std::size_t head_end = std::string::npos;
    while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return false;
    const std::string head = buffer_.substr(0, head_end);
    const std::size_t length_at = head.find("Content-Length: ");
    if (head.compare(0, 12, "HTTP/1.1 200") != 0 || length_at == std::string::npos) return false;
    const std::size_t length = std::strtoul(head.c_str() + length_at + 16, nullptr, 10);
    while (buffer_.size() < head_end + 4 + length)
      if (!fill()) return false;
    body = buffer_.substr(head_end + 4, length);
    buffer_.erase(0, head_end + 4 + length);
    return true;
  }

 private:
  bool fill() {
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }
  int fd_;
  std::string buffer_;
};

std::size_t sensors_listed() {
  Client client;
  std::string body;
  if (!client.get("/api/sensors", body)) return 0;
  const sim::Json document = sim::parse_json(body);
  json_object *list = sim::member(document.get(), "sensors");
  std::size_t reporting = 0;
  for (std::size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i)
    reporting += sim::int_member(json_object_array_get_idx(list, i), "last_seen") != 0;
  return reporting;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char **argv) {
  const char *seconds_text = std::getenv("BENCH_WEB_SECONDS");
  const int seconds = seconds_text != nullptr ? std::max(1, std::atoi(seconds_text)) : 10;
  const char *streams_text = std::getenv("BENCH_WEB_STREAMS");
  const int kStreams = streams_text != nullptr ? std::max(0, std::atoi(streams_text)) : 20;
  const char *build = std::getenv("VORN_BUILD_DIR");
  const std::string results = argc > 1 ? argv[1] : std::string(build != nullptr ? build : ".") + "/bench/web_results.json";

  std::ofstream("/etc/collector_sim.json") << network();
  const pid_t agent = sim::start_program({"/usr/sbin/cloud_agent"}, "/tmp/cloud_agent.out");
  if (std::system("ubus -t 20 wait_for cloud_agent") != 0) return 1;
  const pid_t daemon = sim::start_program({"/usr/sbin/vorn_mgr"}, "/tmp/vorn_mgr.out");
  const pid_t web = sim::start_program({"/usr/sbin/vorn_web"}, "/tmp/vorn_web.out");
  int status = 1;
  const auto ready_by = Clock::now() + std::chrono::seconds(180);
  while (sensors_listed() < kSensors && Clock::now() < ready_by) usleep(500000);
  if (sensors_listed() < kSensors) {
    std::fprintf(stderr, "web bench: only %zu of %d sensors reporting in /api/sensors\n", sensors_listed(), kSensors);
  } else {
    // Event streams, each read by a thread of its own so that none backs up.
    std::atomic<bool> done{false};
    std::atomic<long> stream_bytes{0};
    std::vector<std::thread> streams;
    for (int s = 0; s < kStreams; ++s)
      streams.emplace_back([&] {
        Client client;
        if (!client.open_stream()) return;
        for (long got = 0; !done && got >= 0; got = client.drain(200)) stream_bytes += got;
      });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long idle_kib = resident_kib(web);
    const auto [file_kib, own_kib] = resident_split_kib(web);
    std::atomic<long> answered{0}, failed{0};
    std::atomic<long> peak_kib{idle_kib};
    std::vector<std::vector<double>> latencies(kClients);
    std::size_t body_bytes = 0;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&, c] {
        Client client;
        std::string body;
        while (!done) {
          const auto start = Clock::now();
          if (!client.get("/api/sensors", body)) {
            ++failed;
            return;
          }
          latencies[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
          ++answered;
          if (c == 0) body_bytes = body.size();
        }
      });
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
      usleep(200000);
      peak_kib = std::max(peak_kib.load(), resident_kib(web));
    }
    done = true;
    for (std::thread &t : clients) t.join();
    for (std::thread &t : streams) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto &l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    const double median = all.empty() ? 0 : all[all.size() / 2], p99 = all.empty() ? 0 : all[all.size() * 99 / 100];
    const double rate = static_cast<double>(answered) / elapsed;
    std::printf("web bench: %d sensors, %d clients on kept-alive connections for %.1f s\n", kSensors, kClients, elapsed);
    std::printf("  %-40s %10.0f /s\n", "/api/sensors requests answered", rate);
    std::printf("  %-40s %10zu bytes\n", "/api/sensors answer", body_bytes);
    std::printf("  %-40s %10.2f ms\n", "latency, median", median);
    std::printf("  %-40s %10.2f ms\n", "latency, 99th percentile", p99);
    std::printf("  %-40s %10ld\n", "requests failed", failed.load());
    std::printf("  %-40s %10ld KiB\n", "vorn_web resident, idle", idle_kib);
    std::printf("  %-40s %10ld KiB\n", "vorn_web resident, under load (max)", peak_kib.load());
    std::printf("  %-40s %10ld KiB\n", "  idle: of program and library files", file_kib);
    std::printf("  %-40s %10ld KiB\n", "  idle: its own (heap, stacks)", own_kib);
    std::printf("  %-40s %10d (%ld bytes read)\n", "event streams open", kStreams, stream_bytes.load());
    std::printf("  %-40s %10s (limit %ld KiB)\n", "resident with the streams under the limit",
                idle_kib <= kResidentLimitKib ? "yes" : "NO", kResidentLimitKib);
    const sim::Json figures(json_object_new_object());
    json_object_object_add(figures.get(), "sensors", json_object_new_int(kSensors));
    json_object_object_add(figures.get(), "clients", json_object_new_int(kClients));
    json_object_object_add(figures.get(), "api_sensors_per_second", json_object_new_double(rate));
    json_object_object_add(figures.get(), "api_sensors_bytes", json_object_new_int64(static_cast<std::int64_t>(body_bytes)));
    json_object_object_add(figures.get(), "latency_median_ms", json_object_new_double(median));
    json_object_object_add(figures.get(), "latency_p99_ms", json_object_new_double(p99));
    json_object_object_add(figures.get(), "failed", json_object_new_int64(failed));
    json_object_object_add(figures.get(), "rss_idle_kib", json_object_new_int64(idle_kib));
    json_object_object_add(figures.get(), "rss_load_kib", json_object_new_int64(peak_kib));
    json_object_object_add(figures.get(), "event_streams", json_object_new_int(kStreams));
    json_object_object_add(figures.get(), "rss_idle_files_kib", json_object_new_int64(file_kib));
    json_object_object_add(figures.get(), "rss_idle_own_kib", json_object_new_int64(own_kib));
    std::ofstream(results) << sim::json_text(figures.get()) << "\n";
    std::printf("  figures in %s\n", results.c_str());
    status = failed == 0 && idle_kib <= kResidentLimitKib ? 0 : 1;
  }
  stop(web);
  stop(daemon);
  stop(agent);
  std::system("killall -q -9 vorn_mgr cm_restart; killall -q -TERM collector");
  return status;
}
