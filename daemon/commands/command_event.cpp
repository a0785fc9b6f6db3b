#include "commands/command_event.h"

#include <libubox/blobmsg_json.h>

#include <cstdio>
#include <cstdlib>
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

// A claimed TXQ slot that is given back, leaving no partial request, unless it was published.
class ClaimedSlot {
 public:
  explicit ClaimedSlot(shared::TxqSlot *slot) : slot_(slot) {}
  ~ClaimedSlot() {
    if (!published_) shared::abandon_txq_slot(slot_);
  }
  ClaimedSlot(const ClaimedSlot &) = delete;
  ClaimedSlot &operator=(const ClaimedSlot &) = delete;
  void publish(std::int32_t tx_api_id) {
    shared::publish_txq_slot(slot_, tx_api_id);
    published_ = true;
  }

 private:
  shared::TxqSlot *slot_;
  bool published_ = false;
};

void run_command_keys(json_object *document, ClaimedSlot &claim, shared::TxqSlot *slot) {
  const CommandMessage message{document, slot->payload};
  for (const CommandKey &key : kCommandKeys) {
    json_object *value = nullptr;
    if (!json_object_object_get_ex(document, key.name, &value)) continue;
    const KeyResult result = key.handler(value, message);
    if (result.outcome == KeyOutcome::kNext) continue;
    if (result.outcome == KeyOutcome::kQueue) claim.publish(result.tx_api_id);
    return;
  }
}

// Every command that gets this far takes a slot, also one that turns out to be no command.
void claim_slot_for(json_object *document, shared::TxqSegment *txq) {
  shared::TxqSlot *slot = shared::claim_txq_slot(txq);
  if (slot == nullptr) {
    std::fputs("TX Message Queue buffer was full!\n", stderr);
    return;
  }
  ClaimedSlot claim(slot);
  if (document != nullptr) run_command_keys(document, claim, slot);
}

}  // namespace

void handle_command_event(ubus_context *, ubus_event_handler *, const char *, blob_attr *message) {
  const std::unique_ptr<char, core::FreeDeleter> text(blobmsg_format_json_with_cb(message, true, nullptr, nullptr, -1));
  const cloud::JsonPtr document(text ? json_tokener_parse(text.get()) : nullptr);

  json_object *remove_dev = nullptr;
  if (document && json_object_object_get_ex(document.get(), "RemoveDev", &remove_dev) &&
      handle_remove_dev(remove_dev))
    return;

  shared::SegmentAttachment segment(core::daemon_state.txq_segment_id);
  claim_slot_for(document.get(), static_cast<shared::TxqSegment *>(segment.address()));
  if (!segment.detach()) std::exit(1);
}

}  // namespace vorn::commands
