#include "loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace procd {

void Timer::fire(uloop_timeout *timeout) { reinterpret_cast<Hook *>(timeout)->owner->on_fire_(); }

LineReader::LineReader(int fd, std::function<void(const std::string &)> on_line) : on_line_(std::move(on_line)) {
  watch_.fd = fd;
  watch_.cb = readable;
  uloop_fd_add(&watch_, ULOOP_READ);
}

LineReader::~LineReader() {
  drain();
  if (!pending_.empty()) on_line_(pending_);
  uloop_fd_delete(&watch_);
  close(watch_.fd);
}

void LineReader::readable(uloop_fd *watch, unsigned int) {
  LineReader *reader = reinterpret_cast<Hook *>(watch)->owner;
  reader->drain();
  if (watch->eof && !reader->pending_.empty()) {
    reader->on_line_(reader->pending_);
    reader->pending_.clear();
  }
  if (watch->eof || watch->error) uloop_fd_delete(watch);
}

// Reads what the pipe holds now (the loop set it non-blocking) and hands on the whole lines.
void LineReader::drain() {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(watch_.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) watch_.eof = true;
    if (got <= 0) break;
    pending_.append(buffer, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t newline; (newline = pending_.find('\n', start)) != std::string::npos; start = newline + 1)
      on_line_(pending_.substr(start, newline - start));
    pending_.erase(0, start);
    // A line longer than the router's log line is handed on in pieces.
    while (pending_.size() >= 1024) {
      on_line_(pending_.substr(0, 1024));
      pending_.erase(0, 1024);
    }
  }
}

namespace {

std::map<pid_t, std::function<void(int)>> &handlers() {
  static std::map<pid_t, std::function<void(int)>> table;
  return table;
}

uloop_fd g_children{};

void reap(uloop_fd *watch, unsigned int) {
  signalfd_siginfo info;
  while (read(watch->fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    auto found = handlers().find(pid);
    if (found == handlers().end()) continue;
    auto handler = std::move(found->second);
    handlers().erase(found);
    handler(status);
  }
}

}  // namespace

void watch_children() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  g_children.fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  g_children.cb = reap;
  uloop_fd_add(&g_children, ULOOP_READ);
}

void on_child_exit(pid_t pid, std::function<void(int)> handler) { handlers()[pid] = std::move(handler); }
void forget_child(pid_t pid) { handlers().erase(pid); }

void reset_signals_in_child() {
  uloop_done();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) signal(signal_number, SIG_DFL);
}

}  // namespace procd
