// Cloud commands: the bus event "vorn_mgr".
#pragma once

#include <libubus.h>

namespace vorn::commands {

void handle_command_event(struct ubus_context *context, struct ubus_event_handler *handler,
                          const char *type, struct blob_attr *message);

}  // namespace vorn::commands
