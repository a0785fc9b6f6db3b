// Shared fixtures of the daemon tests: a socket pair standing in for the collector link, stdout
// capture, and fresh shared state.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/daemon_state.h"

namespace vorn::test {

using Bytes = std::vector<std::uint8_t>;

// The daemon writes to one end as its link socket; the test reads what the collector would get.
class LinkPair {
 public:
  LinkPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair";
    daemon_end_ = fds[0];
    collector_end_ = fds[1];
    core::daemon_state.link_socket.store(daemon_end_);
  }
  ~LinkPair() {
    core::daemon_state.link_socket.store(-1);
    close(daemon_end_);
    close(collector_end_);
  }
  int collector_end() const { return collector_end_; }
  int daemon_end() const { return daemon_end_; }

  // Everything written so far (waits up to `wait_ms` for the first byte).
  Bytes sent(int wait_ms = 200) {
    Bytes out;
    pollfd p{collector_end_, POLLIN, 0};
    int timeout = wait_ms;
    while (poll(&p, 1, timeout) > 0) {
      std::uint8_t buffer[4096];
      ssize_t n = read(collector_end_, buffer, sizeof buffer);
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
      timeout = 20;
    }
    return out;
  }

 private:
  int daemon_end_ = -1;
  int collector_end_ = -1;
};

inline std::string capture_stdout(const std::function<void()> &work) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  work();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// Runs a shell command and returns its standard output.
inline std::string shell(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

}  // namespace vorn::test
