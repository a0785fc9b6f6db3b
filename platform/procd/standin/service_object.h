// The bus object "service" through which init scripts hand their services to the manager.
#pragma once

extern "C" {
#include <libubus.h>
}

namespace procd {

// Registers the object on a (new) bus connection.
int add_service_object(ubus_context *context);

}  // namespace procd
