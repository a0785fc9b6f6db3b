// Firmware download requests: start a radio or MSP430 download for a sensor, name the radio
// image, report the downloads in progress, cancel one.
#include <cstdio>

#include "frames_from_daemon.h"
#include "request_handlers.h"

namespace sim {

namespace {

std::string g_radio_image;  // the image the last APP_OAD_FILE_REQ named

SimSensor *joined_sensor(Network &network, std::uint8_t api, std::uint16_t short_address) {
  SimSensor *sensor = find_sensor(network, short_address);
  if (sensor == nullptr || sensor->phase != SensorPhase::kJoined) {
    unreachable_sensor(network, api, short_address);
    return nullptr;
  }
  return sensor;
}

}  // namespace

void answer_sensor_download(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const bool msp430 = api == APP_MSP430_OAD_START_REQ;
  const auto request = msp430 ? decode_msp430_oad_start(payload, length) : decode_sensor_oad_start(payload, length);
  if (!request) return reject_request(network, api, "malformed");
  SimSensor *sensor = joined_sensor(network, api, request->short_address);
  if (sensor == nullptr) return;
  std::printf("collector: %s download of %s to %04X\n", msp430 ? "MSP430" : "radio", request->file.c_str(),
              sensor->config.short_address);
  start_download(*sensor, msp430, request->file);
}

void answer_download_file(Network &, std::uint8_t, const std::uint8_t *payload, std::size_t length) {
  g_radio_image.assign(reinterpret_cast<const char *>(payload), length);
  std::printf("collector: radio image %s\n", g_radio_image.c_str());
}

void answer_download_status(Network &network, std::uint8_t, const std::uint8_t *, std::size_t) {
  for (const auto &[address, sensor] : network.sensors)
    if (sensor->download.active)
      std::printf("collector: %s download to %04X at %d%%\n", sensor->download.msp430 ? "MSP430" : "radio", address,
                  sensor->download.progress);
}

void answer_download_cancel(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  if (length != 1) return reject_request(network, api, "wrong length");
  SimSensor *sensor = joined_sensor(network, api, payload[0]);
  if (sensor != nullptr) cancel_download(*sensor, api == APP_CANCEL_MSP430_OAD_REQ);
}

}  // namespace sim
