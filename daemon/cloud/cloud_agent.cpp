#include "cloud/cloud_agent.h"

#include <gateway_lib/settings.h>
#include <libubox/uloop.h>
#include <libubus.h>

#include <cstdint>
#include <cstdio>

#include "core/daemon_state.h"

namespace vorn::cloud {

int cloud_agent_ready() {
  system_settings_record settings{};
  if (get_system_settings(&settings) == 1 && settings.cloud_ready != 0) return 0;

  uloop_init();
  ubus_context *context = ubus_connect(nullptr);
  int status = UBUS_STATUS_NOT_FOUND;
  if (context == nullptr) {
    std::fputs("Failed to connect to ubus\n", stderr);
  } else if (core::daemon_state.cloud_agent_name != nullptr) {
    std::uint32_t id = 0;
    status = ubus_lookup_id(context, core::daemon_state.cloud_agent_name, &id);
  }
  if (status != 0) std::puts("Cloud_Agent not ready, Waiting...");
  if (context != nullptr) ubus_free(context);
  uloop_done();
  return status;
}

}  // namespace vorn::cloud
