// APP_TX_DATA_REQ, a configuration request: the collector confirms the transmission; a sensor of
// the older firmware answers with its ConfigRsp.
#include "frames_from_daemon.h"
#include "frames_to_daemon.h"
#include "request_handlers.h"

namespace sim {

namespace {

// Transmission results of APP_TX_DATA_CNF.
constexpr std::uint32_t kTxSuccess = 0;
constexpr std::uint32_t kTxNoAck = 0xE9;          // the sensor did not acknowledge (it is silent)
constexpr std::uint32_t kTxUnknownDevice = 0xE8;  // no sensor of that address in the network

}  // namespace

void answer_config_request(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const auto request = decode_config_request(payload, length);
  if (!request) return reject_request(network, api, "malformed");
  SimSensor *sensor = find_sensor(network, request->short_address);
  const bool joined = sensor != nullptr && sensor->phase == SensorPhase::kJoined;
  const std::uint32_t result = !joined ? kTxUnknownDevice : sensor->silent ? kTxNoAck : kTxSuccess;
  send_to_daemon(network, encode_tx_data_cnf(result), to_daemon_api_name(APP_TX_DATA_CNF));
  if (result != kTxSuccess || request->type != 1) return;
  if (sensor->config.style == SensorStyle::kConfigResponse) {
    sensor->identified = true;
    send_config_rsp(*sensor);
  }
}

}  // namespace sim
