// The bus object "vorn_mgr" of the command process: "status" (the daemon at a glance) and
// "sensors" (one record per DeviceList sensor). Both read the shared state and change nothing.
#pragma once

#include <libubus.h>

namespace vorn::status {

// Adds the object to the command process's bus connection. Returns the bus status; the command
// process serves its event even when the object cannot be added.
int add_status_object(ubus_context *context);

}  // namespace vorn::status
