#include <cstdio>

#include "frames_from_daemon.h"
#include "request_handlers.h"

namespace sim {

namespace {

struct Route {
  std::uint8_t api;
  RequestHandler handler;
};

constexpr Route kRoutes[] = {
    {APP_GET_NWK_INFO_REQ, answer_get_nwk_info},
    {APP_GET_DEVICE_ARRAY_REQ, answer_device_array},
    {APP_SET_JOIN_PERMIT_REQ, answer_join_permit},
    {APP_TX_DATA_REQ, answer_config_request},
    {APP_REMOVE_DEVICE_REQ, answer_removal},
    {APP_SENSOR_OAD_START_REQ, answer_sensor_download},
    {APP_OAD_FILE_REQ, answer_download_file},
    {APP_OAD_STATUS_REQ, answer_download_status},
    {APP_SET_DEVICE_VALUE_REQ, answer_set_device_value},
    {APP_GET_DEVICE_VALUE_REQ, answer_get_device_value},
    {APP_SET_SENSOR_REQ, answer_set_sensor},
    {APP_GET_SENSOR_REQ, answer_get_sensor},
    {APP_DATA_FRAME_RSP, answer_sensor_reply},
    {APP_IDENTIFICATION_RSP, answer_sensor_reply},
    {APP_MSP430_OAD_START_REQ, answer_sensor_download},
    {APP_CANCEL_MSP430_OAD_REQ, answer_download_cancel},
    {APP_REMOVE_DEVICE_NEW_REQ, answer_removal},
    {APP_SENSOR_STATUS_RSP, answer_sensor_reply},
    {APP_CANCEL_OAD_REQ, answer_download_cancel},
};

}  // namespace

void reject_request(Network &network, std::uint8_t api, const char *why) {
  ++network.counts.rejected;
  std::printf("collector: %s (%u) rejected: %s\n", from_daemon_api_name(api), api, why);
}

void unreachable_sensor(Network &network, std::uint8_t api, std::uint16_t short_address) {
  ++network.counts.unreachable;
  std::printf("collector: %s for %04X, which is not in the network\n", from_daemon_api_name(api), short_address);
}

void handle_request(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  for (const Route &route : kRoutes) {
    if (route.api != api) continue;
    ++network.counts.received[from_daemon_api_name(api)];
    // When a queued request reached the link: a benchmark times the daemon's transmit queue by it.
    network.counts.last_received_at[from_daemon_api_name(api)] = monotonic_seconds();
    route.handler(network, api, payload, length);
    return;
  }
  reject_request(network, api, "no such request");
}

}  // namespace sim
