#include "core/daemon_state.h"

namespace vorn::core {

DaemonState daemon_state;

}  // namespace vorn::core
