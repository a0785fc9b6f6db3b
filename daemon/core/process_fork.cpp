#include "core/process_fork.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/run_file.h"
#include "core/sanitizer_locks.h"
#include "core/sensorlist_lock.h"

namespace vorn::core {

namespace {

std::mutex &fork_lock() {
  static std::mutex lock;
  return lock;
}

void lock_before_fork() { fork_lock().lock(); }
// The child's only thread is the one that took the lock, so it may give it back too.
void unlock_after_fork() { fork_lock().unlock(); }
void unlock_in_child() {
  fork_lock().unlock();
  forget_sensorlist_lock_in_child();
}

// Every fork of this program, also one made by a library, waits for a pipe opening to end.
const int fork_handlers_installed = pthread_atfork(lock_before_fork, unlock_after_fork, unlock_in_child);

#if defined(VORN_SANITIZER_FORK_LOCKS)
// Sanitized builds only. This toolchain's address-sanitizer runtime does not hold its allocator
// across fork(): a child forked while another thread was refilling its allocation cache inherits
// the allocator's lock taken and hangs at its first allocation, a frame handler that never ends
// nor gives up a lock it took, such as the sensorlist's. So the allocator and the thread registry
// are held from just before the fork until just after it, as later runtimes do themselves, with
// signals blocked so that no signal handler allocates in between. These handlers are installed
// before any other, so their prepare step runs last and their release first. The runtime's store
// of allocation stacks is left out: holding it costs ten milliseconds a fork, and it is taken only
// for a stack never seen before.
thread_local sigset_t signals_before_fork;

void hold_sanitizer_before_fork() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &signals_before_fork);
  __lsan::LockThreadRegistry();
  __lsan::LockAllocator();
}

void release_sanitizer_after_fork() {
  __lsan::UnlockAllocator();
  __lsan::UnlockThreadRegistry();
  pthread_sigmask(SIG_SETMASK, &signals_before_fork, nullptr);
}

__attribute__((constructor(101))) void install_sanitizer_fork_handlers() {
  pthread_atfork(hold_sanitizer_before_fork, release_sanitizer_after_fork, release_sanitizer_after_fork);
}
#endif

}  // namespace

PipeOpening::PipeOpening() { fork_lock().lock(); }
PipeOpening::~PipeOpening() { fork_lock().unlock(); }

pid_t fork_process() {
  (void)fork_handlers_installed;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) release_run_file_in_child();
  return pid;
}

bool run_and_wait_in_child(void (*work)()) {
  const pid_t child = fork_process();
  if (child < 0) {
    std::fprintf(stderr, "fork failed (%s)\n", std::strerror(errno));
    return false;
  }
  if (child == 0) {
    signal(SIGCHLD, SIG_DFL);
    work();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool run_detached(void (*work)(const void *), const void *argument, const char *what) {
  const pid_t child = fork_process();
  if (child < 0) {
    std::fprintf(stderr, "fork failed (%s), %s dropped\n", std::strerror(errno), what);
    return false;
  }
  if (child == 0) {
    const pid_t worker = fork();
    if (worker == 0) {
      signal(SIGCHLD, SIG_DFL);
      work(argument);
      // Not exit(): the worker holds only the forking thread; what the process's other threads had
      // allocated is in its memory with nothing of its own pointing to it, and has no owner to free it.
      std::fflush(stdout);
      std::fflush(stderr);
      _exit(0);
    }
    if (worker < 0) std::fprintf(stderr, "fork failed (%s), %s dropped\n", std::strerror(errno), what);
    _exit(worker < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {

// Closes every descriptor from 3 on but `keep`.
void close_descriptors_but(int keep) {
#ifdef SYS_close_range
  if ((keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep) - 1, 0u) == 0) &&
      syscall(SYS_close_range, static_cast<unsigned>(keep) + 1, ~0u, 0u) == 0)
    return;
#endif
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < limit; ++fd)
    if (fd != keep) close(static_cast<int>(fd));
}

}  // namespace

WatchedChild start_watched_child(void (*work)(const void *argument, int result_fd), const void *argument,
                                 const char *what) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "pipe failed (%s), %s not started\n", std::strerror(errno), what);
    return {};
  }
  const pid_t child = fork_process();
  if (child < 0) {
    std::fprintf(stderr, "fork failed (%s), %s not started\n", std::strerror(errno), what);
    close(ends[0]);
    close(ends[1]);
    return {};
  }
  if (child == 0) {
    signal(SIGCHLD, SIG_DFL);
    close_descriptors_but(ends[1]);
    work(argument, ends[1]);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  close(ends[1]);
  return {child, ends[0]};
}

}  // namespace vorn::core
