#include "data/data_indication.h"

#include <cstdio>

namespace vorn::data {

// Not handled yet: sensor application frames are not decoded.
void handle_data_indication(const std::uint8_t *, std::size_t length) {
  std::printf("APP_DEVICE_DATA_RX_IND (%zu bytes) not handled yet\n", length);
}

}  // namespace vorn::data
