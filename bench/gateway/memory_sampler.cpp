#include "memory_sampler.h"

#include <algorithm>
#include <chrono>

#include "gateway_under_test.h"
#include "proc_stats.h"

namespace bench {

namespace {

constexpr auto kEvery = std::chrono::milliseconds(100);
constexpr std::size_t kHandlersPerLook = 3;  // reading smaps of every handler would load the machine

}  // namespace

MemorySampler::MemorySampler(const GatewayUnderTest &gateway) : gateway_(gateway), thread_([this] { run(); }) {}

MemorySampler::~MemorySampler() {
  stop_ = true;
  thread_.join();
}

MemorySamples MemorySampler::take() {
  const std::lock_guard lock(mutex_);
  MemorySamples taken = std::move(samples_);
  samples_ = MemorySamples{};
  return taken;
}

void MemorySampler::run() {
  while (!stop_) {
    const long main_kib = resident_kib(gateway_.daemon());
    const std::vector<pid_t> handlers = gateway_.handlers();
    std::vector<double> rss, pss;
    for (std::size_t i = 0; i < handlers.size() && i < kHandlersPerLook; ++i) {
      const long r = resident_kib(handlers[i]), p = proportional_kib(handlers[i]);
      if (r > 0 && p > 0) rss.push_back(static_cast<double>(r)), pss.push_back(static_cast<double>(p));
    }
    {
      const std::lock_guard lock(mutex_);
      samples_.main_max_kib = std::max(samples_.main_max_kib, main_kib);
      samples_.handlers_max = std::max(samples_.handlers_max, handlers.size());
      samples_.handler_rss_kib.insert(samples_.handler_rss_kib.end(), rss.begin(), rss.end());
      samples_.handler_pss_kib.insert(samples_.handler_pss_kib.end(), pss.begin(), pss.end());
    }
    std::this_thread::sleep_for(kEvery);
  }
}

}  // namespace bench
