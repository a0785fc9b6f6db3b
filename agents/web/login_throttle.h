// Failed logins counted per client address: after kFreeFailures failures in a row a client must
// wait before its next try, twice as long after each further failure (up to kMaxWait); while it
// waits every try is refused unseen, the right password too. A success forgets the client.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace web {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFreeFailures = 5;
  static constexpr std::chrono::seconds kMaxWait{60};
  static constexpr std::size_t kMaxClients = 1024;

  // How long the client must still wait before a try is looked at (zero: it may try now).
  std::chrono::seconds wait(const std::string &client, Clock::time_point now);
  void failed(const std::string &client, Clock::time_point now);
  void succeeded(const std::string &client);

 private:
  struct Record {
    int failures = 0;
    Clock::time_point until, last;
  };
  std::mutex mutex_;
  std::map<std::string, Record> clients_;
};

}  // namespace web
