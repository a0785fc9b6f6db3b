/* The gateway's platform libraries: settings, sensor registry, alarm flags, download records,
 * utilities, shared-memory channels and the middleware store. */
#ifndef GATEWAY_LIB_GATEWAY_LIB_H
#define GATEWAY_LIB_GATEWAY_LIB_H

#include <gateway_lib/alarm_flags.h>
#include <gateway_lib/download_records.h>
#include <gateway_lib/middleware.h>
#include <gateway_lib/sensor_registry.h>
#include <gateway_lib/settings.h>
#include <gateway_lib/shm_channel.h>
#include <gateway_lib/utils.h>

#endif
