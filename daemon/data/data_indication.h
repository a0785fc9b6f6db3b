// Data indications: every message a sensor sends, relayed by the collector.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::data {

void handle_data_indication(const std::uint8_t *frame, std::size_t length);

}  // namespace vorn::data
