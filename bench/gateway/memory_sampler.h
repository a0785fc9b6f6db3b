// Samples, from its own thread, the resident memory of the daemon's main process and of the
// handler processes alive at each look, and how many handlers there are at once.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

class GatewayUnderTest;

struct MemorySamples {
  long main_max_kib = 0;
  std::vector<double> handler_rss_kib, handler_pss_kib;
  std::size_t handlers_max = 0;
};

class MemorySampler {
 public:
  explicit MemorySampler(const GatewayUnderTest &gateway);
  ~MemorySampler();
  MemorySampler(const MemorySampler &) = delete;
  MemorySampler &operator=(const MemorySampler &) = delete;
  // What was sampled since the last call.
  MemorySamples take();

 private:
  void run();
  const GatewayUnderTest &gateway_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  MemorySamples samples_;
  std::thread thread_;
};

}  // namespace bench
