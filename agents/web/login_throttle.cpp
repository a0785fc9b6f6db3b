#include "login_throttle.h"

#include <algorithm>

namespace web {

std::chrono::seconds LoginThrottle::wait(const std::string &client, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = clients_.find(client);
  if (it == clients_.end() || it->second.until <= now) return std::chrono::seconds(0);
  return std::chrono::ceil<std::chrono::seconds>(it->second.until - now);
}

void LoginThrottle::failed(const std::string &client, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (clients_.size() >= kMaxClients && clients_.count(client) == 0) {
    // Full: the client heard from longest ago makes room (one still waiting keeps its wait).
    auto oldest = std::min_element(clients_.begin(), clients_.end(),
                                   [](const auto &a, const auto &b) { return a.second.last < b.second.last; });
    clients_.erase(oldest);
  }
  Record &record = clients_[client];
  record.last = now;
  if (++record.failures <= kFreeFailures) return;
  const int doublings = std::min(record.failures - kFreeFailures - 1, 6);
  record.until = now + std::min<std::chrono::seconds>(std::chrono::seconds(1 << doublings), kMaxWait);
}

void LoginThrottle::succeeded(const std::string &client) {
  std::lock_guard lock(mutex_);
  clients_.erase(client);
}

}  // namespace web
