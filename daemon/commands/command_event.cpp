#include "commands/command_event.h"

#include <cstdio>

namespace vorn::commands {

// Not handled yet: cloud commands are received but not carried out.
void handle_command_event(struct ubus_context *, struct ubus_event_handler *, const char *type,
                          struct blob_attr *) {
  std::printf("Cloud command event \"%s\" not handled yet\n", type ? type : "");
}

}  // namespace vorn::commands
