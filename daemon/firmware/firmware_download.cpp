#include "firmware/firmware_download.h"

#include <cstdio>

namespace vorn::firmware {

// Not handled yet: MSP430 downloads are not built. Both entry points only say so.
void request_msp430_download(std::uint8_t short_address, const char *, int) {
  std::printf("MSP430 download request for 0x%04X not handled yet\n", short_address);
}

void resume_downloads() { std::printf("Resuming MSP430 downloads not handled yet\n"); }

void finish_download_if_done(const char *) {}

void check_msp430_version(const char *, const char *) {}

}  // namespace vorn::firmware
