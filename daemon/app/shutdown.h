// Orderly end of any of the daemon's processes on hang-up, interrupt or terminate.
#pragma once

namespace vorn::app {

// Closes the link, ends the event loop and exits 0. The main process also ends the command process
// and marks both shared segments for removal.
void handle_shutdown_signal(int signal);

// Installs the handler for SIGHUP, SIGTERM and SIGINT; inherited by every process forked later.
void install_shutdown_handler();

}  // namespace vorn::app
