// Event-loop pieces the process manager is built from: timers, the program ends it waits for,
// and the output lines of a pipe.
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

#include <sys/types.h>

#include <functional>
#include <string>

namespace procd {

// A one-shot timer; destroying it cancels it.
class Timer {
 public:
  explicit Timer(std::function<void()> on_fire) : on_fire_(std::move(on_fire)) { hook_.timeout.cb = fire; }
  ~Timer() { uloop_timeout_cancel(&hook_.timeout); }
  Timer(const Timer &) = delete;
  Timer &operator=(const Timer &) = delete;
  void set(int ms) { uloop_timeout_set(&hook_.timeout, ms); }
  void cancel() { uloop_timeout_cancel(&hook_.timeout); }
  bool pending() const { return hook_.timeout.pending; }
  long remaining_ms() { return static_cast<long>(uloop_timeout_remaining64(&hook_.timeout)); }

 private:
  // What the loop holds: the timeout first, so that fire() finds the timer from it.
  struct Hook {
    uloop_timeout timeout;
    Timer *owner;
  };
  static void fire(uloop_timeout *timeout);
  Hook hook_{{}, this};
  std::function<void()> on_fire_;
};

// Reads a pipe and hands on each line (without its newline); a last line without one is handed
// on when the pipe closes or the reader is destroyed. Owns and closes the descriptor.
class LineReader {
 public:
  LineReader(int fd, std::function<void(const std::string &)> on_line);
  ~LineReader();
  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;

 private:
  // What the loop holds: the descriptor first, so that readable() finds the reader from it.
  struct Hook {
    uloop_fd watch;
    LineReader *owner;
  };
  static void readable(uloop_fd *watch, unsigned int events);
  void drain();
  Hook hook_{{}, this};
  uloop_fd &watch_ = hook_.watch;
  std::function<void(const std::string &)> on_line_;
  std::string pending_;
};

// Child processes: SIGCHLD is taken through a descriptor in the loop, so each ended child's wait
// status reaches the handler registered for its pid (children nobody waits for are reaped).
void watch_children();
void on_child_exit(pid_t pid, std::function<void(int status)> handler);
void forget_child(pid_t pid);
// In a forked child before exec: the signal mask and dispositions a program expects.
void reset_signals_in_child();

}  // namespace procd
