// The cloud commands one by one. Each key's handler gets the value of its key (null for a JSON
// null) and the payload of the request; it fills the payload and says what
// to do with the slot.
#pragma once

#include <json-c/json.h>

#include <cstdint>

#include "shared/txq.h"

namespace vorn::commands {

enum class KeyOutcome {
  kNext,   // the value is not valid for this key: try the next key
  kStop,   // the command ends here without a request (the slot is given back)
  kQueue,  // the payload is filled: publish the slot with the TX API id
};

struct KeyResult {
  KeyOutcome outcome;
  std::int32_t tx_api_id;
};

inline constexpr KeyResult kTryNextKey{KeyOutcome::kNext, 0};
inline constexpr KeyResult kStopSearch{KeyOutcome::kStop, 0};
constexpr KeyResult queue_request(std::int32_t tx_api_id) { return {KeyOutcome::kQueue, tx_api_id}; }

struct CommandMessage {
  json_object *document;   // the whole command object
  std::uint8_t *payload;   // the request's payload (shared::kTxqPayloadSize bytes, zero), copied
                           // into a TXQ slot when the handler says kQueue
};

using KeyHandler = KeyResult (*)(json_object *value, const CommandMessage &message);

// RemoveDev comes before the queue: true when it ends the event (its value is not null).
bool handle_remove_dev(json_object *value);

KeyResult set_event_timer(json_object *value, const CommandMessage &message);
KeyResult join_network_enable(json_object *value, const CommandMessage &message);
KeyResult get_dev_list(json_object *value, const CommandMessage &message);
KeyResult get_oad_file(json_object *value, const CommandMessage &message);
KeyResult sensor_oad_select(json_object *value, const CommandMessage &message);
KeyResult msp430_oad_select(json_object *value, const CommandMessage &message);
KeyResult cancel_msp430_oad(json_object *value, const CommandMessage &message);
KeyResult get_oad_status(json_object *value, const CommandMessage &message);
KeyResult set_dev_val(json_object *value, const CommandMessage &message);
KeyResult get_dev_val(json_object *value, const CommandMessage &message);
KeyResult get_event_timer(json_object *value, const CommandMessage &message);
KeyResult cancel_rf_oad(json_object *value, const CommandMessage &message);

}  // namespace vorn::commands
