// Values one start of the daemon sets before it forks, so that every process holds the same copy.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <atomic>

namespace vorn::core {

struct LinkHolder;

constexpr int kGatewayIdSize = 24;

struct DaemonState {
  char gateway_id[kGatewayIdSize] = {};
  int debug_level = 0;                // 0, 1 (-d1: dump every received frame) or 2 (-d2)
  char *cloud_agent_name = nullptr;   // owned by the platform library once known
  int txq_segment_id = -1;
  int device_list_segment_id = -1;
  // The link socket may be replaced by a reconnection while the transmit thread runs; writers read
  // it under the link semaphore, so they never use a descriptor that is being closed.
  std::atomic<int> link_socket{-1};
  sem_t *link_semaphore = nullptr;    // none until opened after the connection
  LinkHolder *link_holder = nullptr;  // who is inside the semaphore (core/link_semaphore.h)
  pid_t main_process = 0;             // the process that owns the shared state and tears it down
  // Main process only; the supervision thread replaces it while the shutdown handler may read it.
  std::atomic<pid_t> command_process{0};
};

extern DaemonState daemon_state;

}  // namespace vorn::core
