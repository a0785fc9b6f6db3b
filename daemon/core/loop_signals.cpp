#include "core/loop_signals.h"

#include <csignal>
#include <initializer_list>

namespace vorn::core {

void restore_signals_after_uloop_init() {
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal : {SIGCHLD, SIGPIPE}) sigaction(signal, &defaults, nullptr);
}

}  // namespace vorn::core
