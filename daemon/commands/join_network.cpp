#include "commands/command_keys.h"
#include "core/link_frame.h"

namespace vorn::commands {

// Only the low byte counts: 256 closes the network like 0.
KeyResult join_network_enable(json_object *value, const CommandMessage &message) {
  if (!json_object_is_type(value, json_type_int)) return kTryNextKey;
  message.payload[0] = static_cast<std::uint8_t>(json_object_get_int(value));
  return queue_request(core::APP_SET_JOIN_PERMIT_REQ);
}

// Any value, also null, asks for the device list.
KeyResult get_dev_list(json_object *, const CommandMessage &) {
  return queue_request(core::APP_GET_DEVICE_ARRAY_REQ);
}

}  // namespace vorn::commands
