#include "core/hex_dump.h"

#include <cstdio>

namespace vorn::core {

void hex_dump(const std::uint8_t *data, std::size_t count) {
  char column[17] = {};
  std::size_t i = 0;
  for (; i < count; ++i) {
    std::printf("%02X ", data[i]);
    column[i % 16] = (data[i] >= 0x20 && data[i] <= 0x7E) ? static_cast<char>(data[i]) : '.';
    if ((i + 1) % 8 == 0 || i + 1 == count) std::printf(" ");
    if ((i + 1) % 16 == 0) {
      column[16] = '\0';
      std::printf("|  %s \n", column);
    }
  }
  std::size_t tail = count % 16;
  if (tail != 0) {
    column[tail] = '\0';
    if (tail <= 8) std::printf(" ");
    for (std::size_t j = tail; j < 16; ++j) std::printf("   ");
    std::printf("|  %s \n", column);
  }
}

}  // namespace vorn::core
