#include "app/inbound_loop.h"

#include <sys/wait.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/collector_supervision.h"
#include "app/frame_dispatch.h"
#include "cloud/units_map.h"
#include "core/daemon_state.h"
#include "core/hex_dump.h"
#include "core/process_fork.h"
#include "devices/sensorlist_store.h"

namespace vorn::app {

namespace {

[[noreturn]] void run_handler_process(const core::InboundFrame &frame) {
  core::daemon_state.command_process = 0;  // only the main process answers for the command process
  signal(SIGCHLD, SIG_DFL);
  handle_frame(frame.bytes.get(), frame.received);
  // Not exit(): the libraries' destructors and exit handlers would run in a copy of a process with
  // threads, on state those threads own, and cost more than the rest of the frame's own work. The
  // output is flushed, and a sanitized build still looks for what the handler leaked.
  std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  _exit(0);
}

}  // namespace

void handle_in_new_process(const core::InboundFrame &frame) {
  pid_t child = core::fork_process();
  if (child < 0) {
    std::fprintf(stderr, "fork failed (%s), frame of API id %d dropped\n", std::strerror(errno), frame.bytes[3]);
    return;
  }
  if (child == 0) {
    pid_t handler = fork();
    if (handler == 0) run_handler_process(frame);
    if (handler < 0)
      std::fprintf(stderr, "fork failed (%s), frame of API id %d dropped\n", std::strerror(errno), frame.bytes[3]);
    _exit(0);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void run_inbound_loop() {
  for (;;) {
    core::InboundFrame frame;
    switch (core::read_link_frame(core::daemon_state.link_socket.load(), frame)) {
      case core::ReadOutcome::kLinkDown: reconnect_collector_link(); continue;
      case core::ReadOutcome::kSkipped: continue;
      case core::ReadOutcome::kFrame: break;
    }
    if (core::daemon_state.debug_level == 1) {
      std::printf("From Server (%d byte):\n", static_cast<int>(frame.received));
      core::hex_dump(frame.bytes.get(), frame.received);
    }
    cloud::keep_units_map_parsed();  // a handler names its channels from the map it inherits
    devices::keep_sensorlist_parsed();  // and reads sensorlist from the copy it inherits
    handle_in_new_process(frame);
  }
}

}  // namespace vorn::app
