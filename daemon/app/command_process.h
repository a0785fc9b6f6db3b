// The command process: serves cloud commands that arrive as bus events.
#pragma once

namespace vorn::app {

[[noreturn]] void run_command_process();

}  // namespace vorn::app
