#include "core/command_process.h"

#include <libubox/uloop.h>
#include <libubus.h>

#include <cstdio>
#include <cstdlib>

#include "commands/command_event.h"
#include "core/daemon_state.h"

namespace vorn::core {

void run_command_process() {
  daemon_state.command_process = 0;
  uloop_init();
  ubus_context *context = ubus_connect(nullptr);
  if (context != nullptr) {
    std::printf("connected as %08x\n", context->local_id);
    static ubus_event_handler listener{};
    listener.cb = commands::handle_command_event;
    ubus_register_event_handler(context, &listener, "vorn_mgr");
    ubus_add_uloop(context);
    uloop_run();
    ubus_free(context);
  }
  uloop_done();
  std::exit(0);
}

}  // namespace vorn::core
