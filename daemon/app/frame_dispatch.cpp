#include "app/frame_dispatch.h"

#include <cstdio>

#include "app/collector_frames.h"
#include "core/common.h"
#include "core/link_frame.h"
#include "data/data_indication.h"
#include "devices/device_joined.h"
#include "devices/device_removal.h"
#include "shared/status_counters.h"

namespace vorn::app {

namespace {

enum class LengthRule { kExactly, kAtLeastOne };

struct InboundRule {
  std::uint8_t api_id;
  LengthRule rule;
  std::size_t length;
  const char *wrong_length_message;
};

constexpr InboundRule kInboundRules[] = {
    {core::APP_DEVICE_JOINED_IND, LengthRule::kExactly, 19, "APP_DEVICE_JOINED_IND - Wrong length!\n"},
    {core::APP_DEVICE_LEFT_IND, LengthRule::kExactly, 8, "APP_DEVICE_LEFT_IND - Wrong length!\n"},
    {core::APP_NWK_INFO_IND, LengthRule::kExactly, 21, "APP_NWK_INFO_IND - Wrong length!\n"},
    {core::APP_GET_NWK_INFO_CNF, LengthRule::kExactly, 54, "APP_GET_NWK_INFO_CNF - Wrong length!\n"},
    {core::APP_GET_DEVICE_ARRAY_CNF, LengthRule::kAtLeastOne, 1, "APP_GET_DEVICE_ARRAY_CNF - Wrong length!\n"},
    {core::APP_DEVICE_NOTACTIVE_UPDATE_IND, LengthRule::kExactly, 13,
     "APP_DEVICE_NOTACTIVE_UPDATE_IND - Wrong length!\n"},
    {core::APP_DEVICE_DATA_RX_IND, LengthRule::kAtLeastOne, 1, "APP_DEVICE_DATA_RX_IND - Wrong length!\n"},
    {core::APP_COLLECTOR_STATE_CNG_IND, LengthRule::kExactly, 1, "APP_COLLECTOR_STATE_CNG_IND - Wrong length!\n"},
    {core::APP_SET_JOIN_PERMIT_CNF, LengthRule::kExactly, 4, "APP_SET_JOIN_PERMIT_CNF - Wrong length!\n"},
    {core::APP_TX_DATA_CNF, LengthRule::kExactly, 4, "APP_TX_DATA_CNF - Wrong length!\n"},
};

const InboundRule *rule_for(std::uint8_t api_id) {
  for (const InboundRule &rule : kInboundRules)
    if (rule.api_id == api_id) return &rule;
  return nullptr;
}

void run_handler(const std::uint8_t *frame, std::size_t length) {
  const std::uint8_t *payload = frame + core::kLinkHeaderSize;
  switch (frame[3]) {
    case core::APP_DEVICE_JOINED_IND: devices::handle_device_joined(frame); break;
    case core::APP_DEVICE_LEFT_IND: devices::handle_device_left(frame); break;
    case core::APP_NWK_INFO_IND: handle_nwk_info_ind(payload); break;
    case core::APP_GET_NWK_INFO_CNF: handle_get_nwk_info_cnf(payload); break;
    case core::APP_GET_DEVICE_ARRAY_CNF: handle_device_array_cnf(payload, length); break;
    case core::APP_DEVICE_NOTACTIVE_UPDATE_IND:
      devices::handle_device_not_active(frame, length + core::kLinkHeaderSize);
      break;
    case core::APP_DEVICE_DATA_RX_IND: data::handle_data_indication(frame, length + core::kLinkHeaderSize); break;
    case core::APP_COLLECTOR_STATE_CNG_IND: handle_collector_state_change(payload[0]); break;
    case core::APP_SET_JOIN_PERMIT_CNF: handle_join_permit_cnf(payload); break;
    case core::APP_TX_DATA_CNF: handle_tx_data_cnf(payload); break;
    default: break;
  }
}

}  // namespace

void handle_frame(const std::uint8_t *frame, std::size_t received) {
  const shared::HandlerAtWork at_work;
  const std::size_t length = core::read_le16(frame);
  if (received != length + core::kLinkHeaderSize) {
    std::printf("(%d) Data Length not match, Reject!\n", static_cast<int>(received));
    core::hex_dump(frame, received);
    return;
  }
  const InboundRule *rule = rule_for(frame[3]);
  if (rule == nullptr) {
    std::fputs("Unknow API ID, Reject!\n", stdout);
    core::hex_dump(frame, received);
    return;
  }
  const bool fits = rule->rule == LengthRule::kExactly ? length == rule->length : length != 0;
  if (!fits) {
    std::fputs(rule->wrong_length_message, stdout);
    return;
  }
  shared::count_frame(frame[3]);
  run_handler(frame, length);
}

}  // namespace vorn::app
