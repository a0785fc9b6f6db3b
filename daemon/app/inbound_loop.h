// The main process's read loop: one frame at a time from the link, each handled in a process of
// its own.
#pragma once

#include "core/link_io.h"

namespace vorn::app {

[[noreturn]] void run_inbound_loop();

// Hands one frame to a handler process (a grandchild, so nobody has to wait for it) and waits
// only for the short-lived child in between. A failed fork drops the frame with a message.
void handle_in_new_process(const core::InboundFrame &frame);

}  // namespace vorn::app
