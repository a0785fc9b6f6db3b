#include "app/command_process.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <libubus.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "commands/command_backlog.h"
#include "commands/command_event.h"
#include "core/daemon_state.h"
#include "core/log_line.h"
#include "core/loop_signals.h"
#include "core/process_fork.h"
#include "shared/status_counters.h"
#include "status/status_object.h"

namespace vorn::app {

namespace {

// The bus is gone: the loop ends, and with it this process, which the main process starts again.
// The library's own handler ends the loop only while the socket is still registered, and the
// router's event loop unregisters a socket that hung up before the handler runs: the process
// would wait on with no bus for good.
void end_loop_on_lost_bus(ubus_context *) { uloop_end(); }

// Commands wait in the backlog and are carried out one at a time, each in a child of its own: a
// command's uci writes may wait for a lock (another program's, for up to a minute), and meanwhile
// this loop goes on reading the bus, so the status object answers and the backlog merges or drops
// what a flood brings instead of leaving it in the bus daemon.
commands::CommandBacklog backlog;
// Longer than every lock a command may wait for (core/sensorlist_lock.h) and its uci commands; a
// command's child still running then waits on something that does not end (a uci read blocked by
// another program's lock), and is given up.
constexpr int kCommandTimeLimitMs = 180'000;

struct Executor {
  uloop_fd end{};  // first member: the loop hands back its address
  pid_t pid = 0;   // the child carrying out a command, 0 when none
  uloop_timeout too_long{};
} executor;
std::size_t dropped_since_said = 0;

void start_next_command();

void carry_out(const void *document, int) { commands::run_command(static_cast<json_object *>(const_cast<void *>(document))); }

void on_command_done(uloop_fd *fd, unsigned int) {
  char byte;
  const ssize_t n = read(fd->fd, &byte, 1);
  if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) return;  // the child says nothing: its end is awaited
  uloop_timeout_cancel(&executor.too_long);
  uloop_fd_delete(fd);
  close(fd->fd);
  fd->fd = -1;
  while (waitpid(executor.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  executor.pid = 0;
  start_next_command();
}

void give_up_command(uloop_timeout *) {
  if (executor.pid <= 0) return;
  core::log_line("Cloud command given up: not carried out after %d s\n", kCommandTimeLimitMs / 1000);
  kill(executor.pid, SIGKILL);  // its end then comes as for any other
}

void start_next_command() {
  while (executor.pid == 0) {
    const cloud::JsonPtr document = backlog.take();
    shared::set_commands_waiting(static_cast<std::uint32_t>(backlog.size()));
    if (!document) {
      if (dropped_since_said > 0)
        core::log_line("%zu cloud commands were dropped while %zu waited\n", dropped_since_said, commands::kCommandBacklog);
      dropped_since_said = 0;
      return;
    }
    const core::WatchedChild child = core::start_watched_child(carry_out, document.get(), "cloud command");
    if (child.pid < 0) {
      commands::run_command(document.get());  // no child to be had: here, as the bus's turn allows
      continue;
    }
    executor.pid = child.pid;
    executor.end.fd = child.end_fd;
    executor.end.cb = on_command_done;
    uloop_fd_add(&executor.end, ULOOP_READ);
    executor.too_long.cb = give_up_command;
    uloop_timeout_set(&executor.too_long, kCommandTimeLimitMs);
  }
}

void on_command_event(ubus_context *, ubus_event_handler *, const char *, blob_attr *message) {
  cloud::JsonPtr document = commands::command_document(message);
  if (!document) return;
  switch (backlog.add(std::move(document))) {
    case commands::CommandBacklog::Added::kWaiting: break;
    case commands::CommandBacklog::Added::kMerged: shared::count_command(shared::CommandFate::kMerged); break;
    case commands::CommandBacklog::Added::kDropped:
      shared::count_command(shared::CommandFate::kDropped);
      if (dropped_since_said++ == 0)
        core::log_line("Cloud command dropped: %zu wait already (dropped ones are counted in the status object)\n",
                       commands::kCommandBacklog);
      break;
  }
  start_next_command();
}

// The process is a fork of the main process, made from one of its threads when it is started
// again: exit handlers would run on state the main process's other threads own (and the leak
// checker would count their memory as lost). The output is flushed and the process ends at once.
[[noreturn]] void end_command_process(int status) {
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace

void run_command_process() {
  core::daemon_state.command_process = 0;
  uloop_init();
  core::restore_signals_after_uloop_init();  // commands read the output of uci through pipes
  ubus_context *context = ubus_connect(nullptr);
  if (context == nullptr) {
    // Ending lets the main process start it again, rather than serving no commands at all.
    std::fputs("The command process found no bus connection\n", stderr);
    uloop_done();
    end_command_process(1);
  }
  static ubus_event_handler listener{};
  listener.cb = on_command_event;
  const int rc = ubus_register_event_handler(context, &listener, "vorn_mgr");
  if (rc != 0) {
    std::fprintf(stderr, "The command process cannot listen for vorn_mgr events: %s\n", ubus_strerror(rc));
    ubus_free(context);
    uloop_done();
    end_command_process(1);
  }
  status::add_status_object(context);
  // Printed once the event handler is in place: commands sent from now on are served.
  std::printf("connected as %08x\n", context->local_id);
  context->connection_lost = end_loop_on_lost_bus;
  ubus_add_uloop(context);
  uloop_run();
  ubus_free(context);
  uloop_done();
  end_command_process(0);
}

}  // namespace vorn::app
