#include <cstdint>

#include "commands/command_keys.h"
#include "core/link_frame.h"

namespace vorn::commands {

// Only the low byte counts: 256 closes the network like 0. The value is read in its full width
// (a 32-bit read would clamp 2^32, whose low byte is 0, to a value that opens the network).
KeyResult join_network_enable(json_object *value, const CommandMessage &message) {
  if (!json_object_is_type(value, json_type_int)) return kTryNextKey;
  const std::int64_t number = json_object_get_int64(value);
  const std::uint64_t bits = number >= 0 ? json_object_get_uint64(value) : static_cast<std::uint64_t>(number);
  message.payload[0] = static_cast<std::uint8_t>(bits & 0xFF);
  return queue_request(core::APP_SET_JOIN_PERMIT_REQ);
}

// Any value, also null, asks for the device list.
KeyResult get_dev_list(json_object *, const CommandMessage &) {
  return queue_request(core::APP_GET_DEVICE_ARRAY_REQ);
}

}  // namespace vorn::commands
