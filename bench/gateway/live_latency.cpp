#include "live_latency.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "gateway_under_test.h"
#include "json_doc.h"

namespace bench {

namespace {

constexpr const char *kChannels = "/dev/shm";

// Channel 0's value of a live report: {"ID":..,"Data":{"BaseTime":..,"Values":[{"Name":..,"Values":[{"T":0,"V":x}]},..]}}
bool channel_zero_value(const std::string &text, double &value) {
  const sim::Json report = sim::parse_json(text);
  json_object *channels = sim::member(sim::member(report.get(), "Data"), "Values");
  if (channels == nullptr || !json_object_is_type(channels, json_type_array) || json_object_array_length(channels) == 0)
    return false;
  json_object *points = sim::member(json_object_array_get_idx(channels, 0), "Values");
  if (points == nullptr || !json_object_is_type(points, json_type_array) || json_object_array_length(points) == 0)
    return false;
  json_object *v = sim::member(json_object_array_get_idx(points, 0), "V");
  if (v == nullptr || !(json_object_is_type(v, json_type_double) || json_object_is_type(v, json_type_int))) return false;
  value = json_object_get_double(v);
  return true;
}

}  // namespace

LiveLatencyWatch::LiveLatencyWatch() {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || inotify_add_watch(fd_, kChannels, IN_MOVED_TO) < 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

LiveLatencyWatch::~LiveLatencyWatch() {
  if (thread_.joinable()) {
    (void)!write(stop_pipe_[1], "x", 1);
    thread_.join();
  }
  for (int fd : {fd_, stop_pipe_[0], stop_pipe_[1]})
    if (fd >= 0) close(fd);
}

void LiveLatencyWatch::begin_stream(double started_at) {
  const std::lock_guard lock(mutex_);
  started_at_ = started_at;
  samples_.clear();
}

std::vector<double> LiveLatencyWatch::samples() {
  const std::lock_guard lock(mutex_);
  std::vector<double> latencies;
  for (const Sample &s : samples_) latencies.push_back(s.latency_ms);
  return latencies;
}

std::vector<double> LiveLatencyWatch::worst_by_second() {
  const std::lock_guard lock(mutex_);
  std::vector<double> worst;
  for (const Sample &s : samples_) {
    const auto second = static_cast<std::size_t>(std::max(0.0, s.at_s));
    if (worst.size() <= second) worst.resize(second + 1, 0);
    worst[second] = std::max(worst[second], s.latency_ms);
  }
  return worst;
}

void LiveLatencyWatch::take(const char *name, double seen_at) {
  // Temporary files of the channel library start with '.'; descriptions end in "_meta".
  const std::string channel = name;
  if (channel.empty() || channel[0] == '.' || channel.find('_') != std::string::npos) return;
  std::ifstream in(std::string(kChannels) + "/" + channel);
  std::stringstream text;
  text << in.rdbuf();
  double stamp_ms = 0;
  if (!channel_zero_value(text.str(), stamp_ms)) {
    ++unreadable_;
    return;
  }
  const std::lock_guard lock(mutex_);
  if (started_at_ > 0) samples_.push_back({seen_at - started_at_, (seen_at - started_at_) * 1000 - stamp_ms});
}

void LiveLatencyWatch::run() {
  alignas(inotify_event) char buffer[64 * 1024];
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) continue;
    const double seen_at = monotonic_seconds();
    for (ssize_t at = 0; at < n;) {
      const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
      if (event->len > 0) take(event->name, seen_at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

Spread spread_of(std::vector<double> samples) {
  Spread s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
  s.count = samples.size();
  s.median = at(0.5), s.p10 = at(0.1), s.p90 = at(0.9), s.p99 = at(0.99), s.max = samples.back();
  return s;
}

}  // namespace bench
