#include "app/command_supervision.h"

#include <pthread.h>
#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/command_process.h"
#include "core/daemon_state.h"
#include "core/log_line.h"
#include "core/process_fork.h"
#include "shared/status_counters.h"

namespace vorn::app {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRestartInterval = std::chrono::seconds(1);

Clock::time_point last_start;  // written by the main thread before the supervisor exists, then by it alone

void close_inherited_descriptors() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < limit; ++fd) close(static_cast<int>(fd));
}

[[noreturn]] void become_command_process(pid_t main_process) {
  // Output was flushed before the fork; anything in the buffers now is a line another thread of
  // the main process was writing, which the main process prints itself.
  __fpurge(stdout);
  __fpurge(stderr);
  // A restart can meet the daemon's shutdown: never outlive the main process. (The signal follows
  // the end of the forking thread, which lives as long as the main process.)
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != main_process) _exit(0);
  // It reaches the collector only through the TXQ: no link socket. And it holds no other inherited
  // descriptor, such as a pipe another thread was opening at the fork, whose reader would then
  // never see its end.
  core::daemon_state.link_socket.store(-1);
  close_inherited_descriptors();
  run_command_process();
}

pid_t start_command_process() {
  const pid_t main_process = getpid();
  const pid_t pid = core::fork_process();
  if (pid == 0) become_command_process(main_process);
  if (pid < 0) std::fprintf(stderr, "fork of the command process failed: %s\n", std::strerror(errno));
  last_start = Clock::now();
  return pid > 0 ? pid : 0;
}

void on_child_ended(pid_t pid, int status) {
  if (WIFSIGNALED(status))
    core::log_line_to(stderr, "The command process %d was ended by signal %d\n", pid, WTERMSIG(status));
  else
    core::log_line_to(stderr, "The command process %d ended with status %d\n", pid, WEXITSTATUS(status));
}

[[noreturn]] void supervise() {
  for (;;) {
    const pid_t pid = core::daemon_state.command_process.load();
    if (pid > 0) {
      // Wait for its end without reaping it, forget its id, then reap it: the shutdown handler
      // never signals an id the system may already have given to another process.
      siginfo_t info{};
      while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
      }
      core::daemon_state.command_process.store(0);
      int status = 0;
      pid_t ended;
      while ((ended = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
      }
      if (ended == pid) on_child_ended(pid, status);
    }
    std::this_thread::sleep_until(last_start + kRestartInterval);
    const pid_t restarted = start_command_process();
    core::daemon_state.command_process.store(restarted);
    if (restarted > 0) shared::count_command_restart();
    if (restarted > 0)
      core::log_line("Command process restarted as %d\n", restarted);
  }
}

void *supervision_thread(void *) { supervise(); }

}  // namespace

void fork_command_process() { core::daemon_state.command_process.store(start_command_process()); }

void watch_command_process() {
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, supervision_thread, nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "command process supervision could not start: %s\n", std::strerror(rc));
    return;
  }
  pthread_detach(thread);
}

}  // namespace vorn::app
