// The command process: serves cloud commands that arrive as bus events.
#pragma once

namespace vorn::core {

[[noreturn]] void run_command_process();

}  // namespace vorn::core
