// Sensors joining or re-joining the network.
#pragma once

#include <cstdint>

namespace vorn::devices {

void handle_device_joined(const std::uint8_t *frame);

}  // namespace vorn::devices
