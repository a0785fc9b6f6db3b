#include "app/shutdown.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/daemon_state.h"
#include "core/stop_notice.h"
#include "shared/answered_records.h"
#include "shared/segments.h"

namespace vorn::app {

namespace {

void write_text(int fd, const char *text) {
  ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

}  // namespace

void handle_shutdown_signal(int) {
  // This may interrupt any code of any process of the daemon: no stdio on the normal path.
  write_text(STDOUT_FILENO, "Disconnect to the server..\n");
  core::say_stop_notice();  // a handler holding answered records says they are lost
  const int fd = core::daemon_state.link_socket.exchange(-1);
  if (fd >= 0) close(fd);
  uloop_done();
  // Only the main process removes the segments: a signal to the whole group reaches every process,
  // and a second removal would fail and report an error at every orderly stop. The others only
  // detach, which their exit does.
  if (getpid() == core::daemon_state.main_process) {
    long sets = 0, records = 0;
    shared::answers_held_at_stop(&sets, &records);
    if (sets > 0) {
      core::write_number_line("Stopped with ", sets, " answered record sets not taken by Cloud_Agent yet: ");
      core::write_number_line("", records, " records lost\n");
    }
    if (core::daemon_state.command_process > 0) kill(core::daemon_state.command_process, SIGTERM);
    shared::remove_shared_state();
  }
  _exit(0);
}

void install_shutdown_handler() {
  struct sigaction action {};
  action.sa_handler = handle_shutdown_signal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaction(signal, &action, nullptr);
}

}  // namespace vorn::app
