// MSP430 firmware downloads to sensors.
#pragma once

#include <cstdint>

namespace vorn::firmware {

// Sends the MSP430 download request for a sensor; with a non-zero record flag also records it.
void request_msp430_download(std::uint8_t short_address, const char *path, int record_flag);

// Start-up: requests again, or cancels, the downloads recorded as pending.
void resume_downloads();

}  // namespace vorn::firmware
