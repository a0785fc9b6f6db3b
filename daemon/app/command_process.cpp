#include "app/command_process.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <libubus.h>
#include <unistd.h>

#include <cstdio>

#include "commands/command_event.h"
#include "core/daemon_state.h"
#include "core/loop_signals.h"
#include "status/status_object.h"

namespace vorn::app {

namespace {

// The bus is gone: the loop ends, and with it this process, which the main process starts again.
// The library's own handler ends the loop only while the socket is still registered, and the
// router's event loop unregisters a socket that hung up before the handler runs: the process
// would wait on with no bus for good.
void end_loop_on_lost_bus(ubus_context *) { uloop_end(); }

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
  listener.cb = commands::handle_command_event;
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
