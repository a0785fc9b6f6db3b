// The diagnostic dump of a rejected frame: 16 bytes a line in hexadecimal, then as text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::core {

void hex_dump(const std::uint8_t *data, std::size_t count);

}  // namespace vorn::core
