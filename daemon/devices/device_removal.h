// Sensors leaving the daemon's records: left and not-active indications, and removals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::devices {

void handle_device_left(const std::uint8_t *frame);
void handle_device_not_active(const std::uint8_t *frame, std::size_t length);

// Sends the remove request for a sensor, named either by a 21-byte removal request ("SSSS EEEEEEEEEEEEEEEE":
// short address, one unused byte, ExtAddress text; no terminator needed) or by its 8 ExtAddress
// bytes and short address.
void remove_sensor(const char *removal_text, const std::uint8_t *ext_address, std::uint16_t short_address);

// Non-zero when the sensor's firmware is recent enough for the removal it confirms itself.
int firmware_at_least_threshold(const char *ext_address_text);

}  // namespace vorn::devices
