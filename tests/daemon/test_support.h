// Shared fixtures of the daemon tests: a socket pair standing in for the collector link, stdout
// capture, and fresh shared state.
#pragma once

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../support/shell_and_file_text.h"
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
  // What arrived within wait_ms, read until the link is quiet for quiet_ms.
  Bytes sent(int wait_ms = 200, int quiet_ms = 20) {
    Bytes out;
    pollfd p{collector_end_, POLLIN, 0};
    int timeout = wait_ms;
    while (poll(&p, 1, timeout) > 0) {
      std::uint8_t buffer[4096];
      ssize_t n = read(collector_end_, buffer, sizeof buffer);
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
      timeout = quiet_ms;
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

// From now on the given system calls of this process (and of its children) fail with the given
// error, as when a table of the kernel is full. For a forked test child only. False when the
// filter could not be installed (user-mode emulation refuses it: tests/emulation/seccomp_probe.c).
inline bool fail_system_calls(std::initializer_list<std::pair<long, int>> calls) {
  std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (auto [number, error] : calls) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Polls a condition for up to `seconds`.
template <typename Condition>
bool eventually(Condition condition, int seconds = 20) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// A child that runs `hold` (taking a lock, say) and then waits to be killed. Its pid once `hold`
// has returned true; -1 when it returned false.
inline pid_t start_holding_child(const std::function<bool()> &hold) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (hold()) {
      ssize_t ignored = write(ready[1], "1", 1);
      (void)ignored;
      pause();
    }
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  const bool held = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!held) waitpid(child, nullptr, 0);
  return held ? child : -1;
}

}  // namespace vorn::test
