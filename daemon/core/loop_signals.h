// The router's event loop library, on uloop_init, takes the signals still at their default: SIGCHLD
// gets a handler without SA_RESTART (a child ending then breaks a blocking read of a command's
// output with EINTR), and SIGPIPE is ignored, which every command started afterwards inherits
// (grep and cut in a pipeline then print broken-pipe errors instead of ending quietly). The daemon
// uses no child watching of the loop, so it puts both back after uloop_init.
#pragma once

namespace vorn::core {

void restore_signals_after_uloop_init();

}  // namespace vorn::core
