// The collector's answers to what the daemon sends, one handler per request kind, and the table
// that routes a received frame to its handler by API id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "network.h"

namespace sim {

using RequestHandler = void (*)(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length);

// Routes one received frame (API id and payload) to its handler; counts it as received, or as
// rejected when no handler takes that id.
void handle_request(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length);

// Notes a request that its decoder refused.
void reject_request(Network &network, std::uint8_t api, const char *why);
// Notes a request for a sensor that is not in the network (it may just have left).
void unreachable_sensor(Network &network, std::uint8_t api, std::uint16_t short_address);

void answer_get_nwk_info(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_device_array(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_join_permit(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_config_request(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_removal(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_set_sensor(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_get_sensor(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_set_device_value(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_get_device_value(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_sensor_reply(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_sensor_download(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_download_file(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_download_status(Network &, std::uint8_t, const std::uint8_t *, std::size_t);
void answer_download_cancel(Network &, std::uint8_t, const std::uint8_t *, std::size_t);

}  // namespace sim
