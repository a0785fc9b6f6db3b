// MSP430 firmware downloads to sensors.
#pragma once

#include <cstdint>

namespace vorn::firmware {

// Why a firmware file name is refused: a control character, a ".." component, or an existing
// file that is not a regular file. Null when it may be read; a missing file is not refused.
const char *firmware_file_refusal(const char *path);

// Sends the MSP430 download request for a sensor; with a non-zero record flag also records it.
void request_msp430_download(std::uint8_t short_address, const char *path, int record_flag);

// Start-up: requests again, or cancels, the downloads recorded as pending.
void resume_downloads();

// Data Frame Request: ends the sensor's download once it reports the expected version.
void finish_download_if_done(const char *ext_address_text);

// Identification Request: the sensor reports a version other than the one on record.
void check_msp430_version(const char *ext_address_text, const char *reported_version);

}  // namespace vorn::firmware
