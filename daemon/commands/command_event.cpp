#include "commands/command_event.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cloud/json_document.h"
#include "commands/command_keys.h"
#include "core/daemon_state.h"
#include "core/link_io.h"
#include "shared/segments.h"
#include "shared/txq.h"

namespace vorn::commands {

namespace {

struct CommandKey {
  const char *name;
  KeyHandler handler;
};

// The keys in the order they are looked for: the first that is present and valid decides, the
// other keys of the message are ignored.
constexpr CommandKey kCommandKeys[] = {
    {"SetEventTimer", set_event_timer},     {"JoinNetwork_Enable", join_network_enable},
    {"GetDevList", get_dev_list},           {"GetOADFile", get_oad_file},
    {"SensorOADSelect", sensor_oad_select}, {"Msp430OADSelect", msp430_oad_select},
    {"CancelMsp430OAD", cancel_msp430_oad}, {"GetOADStatus", get_oad_status},
    {"SetDevVal", set_dev_val},             {"GetDevVal", get_dev_val},
    {"GetEventTimer", get_event_timer},     {"CancelRFOAD", cancel_rf_oad},
};

// A slot is claimed only once the request is whole, to copy it in and hand it on at once: a
// command process that dies in the middle of a command (its uci writes are slow) never leaves a
// slot claimed for good, and what a command stores (an interval wish) is stored even when the
// queue is full.
void queue_request_payload(shared::TxqSegment *txq, std::int32_t tx_api_id, const std::uint8_t *payload) {
  shared::TxqSlot *slot = shared::claim_txq_slot(txq);
  if (slot == nullptr) {
    std::fputs("TX Message Queue buffer was full!\n", stderr);
    return;
  }
  std::memcpy(slot->payload, payload, sizeof slot->payload);
  shared::publish_txq_slot(slot, tx_api_id);
}

void run_command_keys(json_object *document, shared::TxqSegment *txq) {
  std::uint8_t payload[shared::kTxqPayloadSize] = {};
  const CommandMessage message{document, payload};
  for (const CommandKey &key : kCommandKeys) {
    json_object *value = nullptr;
    if (!json_object_object_get_ex(document, key.name, &value)) continue;
    const KeyResult result = key.handler(value, message);
    if (result.outcome == KeyOutcome::kNext) continue;
    if (result.outcome == KeyOutcome::kQueue) queue_request_payload(txq, result.tx_api_id, payload);
    return;
  }
}

}  // namespace

cloud::JsonPtr command_document(blob_attr *message) {
  const std::unique_ptr<char, core::FreeDeleter> text(blobmsg_format_json_with_cb(message, true, nullptr, nullptr, -1));
  return cloud::JsonPtr(text ? json_tokener_parse(text.get()) : nullptr);
}

void run_command(json_object *document) {
  json_object *remove_dev = nullptr;
  if (document == nullptr ||
      (json_object_object_get_ex(document, "RemoveDev", &remove_dev) && handle_remove_dev(remove_dev)))
    return;
  shared::SegmentAttachment segment(core::daemon_state.txq_segment_id);
  run_command_keys(document, static_cast<shared::TxqSegment *>(segment.address()));
  if (!segment.detach()) std::exit(1);
}

void handle_command_event(ubus_context *, ubus_event_handler *, const char *, blob_attr *message) {
  run_command(command_document(message).get());
}

}  // namespace vorn::commands
