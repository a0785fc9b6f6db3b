// Forks of the daemon's processes. The main process has threads and forks a process for every
// frame; a child gets a copy of every descriptor the process holds at that moment. A pipe another
// thread is opening would then keep a second write end in the child, and the reader would never
// see the pipe's end. So every fork and every pipe opening take one lock, held only for the fork
// or the opening itself (never across a wait), and the child closes what it does not use. The
// lock is taken by every fork of the program (an atfork handler), also by forks made elsewhere.
#pragma once

#include <sys/types.h>

#include <mutex>

namespace vorn::core {

// Held around an opening of a pipe whose other end goes to a started command (popen).
class PipeOpening {
 public:
  PipeOpening();
  ~PipeOpening();
  PipeOpening(const PipeOpening &) = delete;
  PipeOpening &operator=(const PipeOpening &) = delete;
};

// fork() with the output flushed first and never inside a pipe opening of another thread. In the
// child, the run-file lock of the main process is given up (a child never owns the daemon's run).
pid_t fork_process();

// Runs `work` in a child and waits for it: how the main process makes its sensorlist writes, whose
// lock none of its threads may hold. False when the fork failed or the child did not end well.
bool run_and_wait_in_child(void (*work)());

// Runs `work` in a grandchild of this process, as a frame handler runs: the child forks the worker
// and exits at once, and this thread waits only for that child, so it never blocks on the work.
// False when a fork failed (said on standard error with `what`).
bool run_detached(void (*work)(const void *), const void *argument, const char *what);

// A child whose end its parent learns of without waiting for it: the child holds the write end of
// a pipe (`end_fd` is the read end) until it ends, and none of its parent's other descriptors,
// such as a bus connection it must not keep open. It may write a few bytes (at most PIPE_BUF)
// through `result_fd` for its parent to read before the end of file.
struct WatchedChild {
  pid_t pid = -1;   // -1: the fork or the pipe failed (said on standard error)
  int end_fd = -1;
};
WatchedChild start_watched_child(void (*work)(const void *argument, int result_fd), const void *argument,
                                 const char *what);

}  // namespace vorn::core
