// Requests about the network itself: its information, its device array, the join permit.
#include <vector>

#include "frames_from_daemon.h"
#include "frames_to_daemon.h"
#include "request_handlers.h"

namespace sim {

void answer_get_nwk_info(Network &network, std::uint8_t api, const std::uint8_t *, std::size_t length) {
  if (length != 0) return reject_request(network, api, "carries a payload");
  send_to_daemon(network, encode_get_nwk_info_cnf(network.identity, network.state),
                 to_daemon_api_name(APP_GET_NWK_INFO_CNF));
}

void answer_device_array(Network &network, std::uint8_t api, const std::uint8_t *, std::size_t length) {
  if (length != 0) return reject_request(network, api, "carries a payload");
  std::vector<DeviceArrayItem> items;
  for (const auto &[address, sensor] : network.sensors)
    if (sensor->phase == SensorPhase::kJoined) items.push_back({address, sensor->config.ext_address});
  send_to_daemon(network, encode_device_array_cnf(items.data(), items.size()),
                 to_daemon_api_name(APP_GET_DEVICE_ARRAY_CNF));
}

void answer_join_permit(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  JoinPermitReq request{};
  if (length != sizeof request || !read_layout(payload, length, request)) return reject_request(network, api, "wrong length");
  send_to_daemon(network, encode_join_permit_cnf(0), to_daemon_api_name(APP_SET_JOIN_PERMIT_CNF));
  open_join_permit(network, le32(request.duration_ms));
}

}  // namespace sim
