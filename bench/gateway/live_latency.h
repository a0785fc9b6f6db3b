// Latency from a paced frame leaving the collector to its live value in the sensor's shared-memory
// channel. Channels are files under /dev/shm replaced by rename, so a watch on the folder sees every
// new value the moment it lands; channel 0 of a paced frame holds its send time (milliseconds
// after the stream's start), which gives the frame's age at that moment.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

class LiveLatencyWatch {
 public:
  LiveLatencyWatch();
  ~LiveLatencyWatch();
  LiveLatencyWatch(const LiveLatencyWatch &) = delete;
  LiveLatencyWatch &operator=(const LiveLatencyWatch &) = delete;
  bool ok() const { return fd_ >= 0; }

  // The monotonic start of the stream whose values come next (its "StartedAt"); clears the samples.
  void begin_stream(double started_at);
  // Latencies in milliseconds of the values seen since begin_stream.
  std::vector<double> samples();
  // The worst latency of each second of the stream, in milliseconds.
  std::vector<double> worst_by_second();
  // Values that could not be read or had no stamp (another writer's, or gone before read).
  unsigned long unreadable() const { return unreadable_; }

 private:
  void run();
  void take(const char *name, double seen_at);
  int fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mutex_;
  double started_at_ = 0;
  struct Sample {
    double at_s, latency_ms;  // seen at, seconds into the stream
  };
  std::vector<Sample> samples_;
  std::atomic<unsigned long> unreadable_{0};
  std::thread thread_;
};

// Median and percentiles of a set of samples (sorted on the way); zeros for none.
struct Spread {
  std::size_t count = 0;
  double median = 0, p10 = 0, p90 = 0, p99 = 0, max = 0;
};
Spread spread_of(std::vector<double> samples);

}  // namespace bench
