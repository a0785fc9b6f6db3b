// What a handler process does with one received frame: check its length, run its handler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::app {

// `received` is the header plus the bytes the payload read returned.
void handle_frame(const std::uint8_t *frame, std::size_t received);

}  // namespace vorn::app
