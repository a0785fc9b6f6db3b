// Removal of a sensor: APP_REMOVE_DEVICE_REQ makes the collector drop it and report it left;
// APP_REMOVE_DEVICE_NEW_REQ asks the sensor, which confirms with a Disassociation Response first.
#include "frames_from_daemon.h"
#include "request_handlers.h"

namespace sim {

void answer_removal(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const auto request = decode_remove_request(payload, length);
  if (!request) return reject_request(network, api, "malformed");
  SimSensor *sensor = find_sensor(network, request->short_address);
  if (sensor == nullptr) sensor = find_sensor(network, ext_address_text(request->ext_address));
  if (sensor == nullptr || sensor->phase != SensorPhase::kJoined) return unreachable_sensor(network, api, request->short_address);
  if (api == APP_REMOVE_DEVICE_NEW_REQ) {
    if (sensor->silent) return;  // it cannot hear the request; the gateway asks again on its next frame
    send_sensor_frame(*sensor, encode_disassociation_response(sensor->identity, sensor_condition(*sensor)));
  }
  sensor_leave(*sensor);
}

}  // namespace sim
