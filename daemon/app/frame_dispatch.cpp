#include "app/frame_dispatch.h"

#include <cstdio>

#include "app/collector_frames.h"
#include "core/byte_order.h"
#include "core/hex_dump.h"
#include "core/link_frame.h"
#include "data/data_indication.h"
#include "devices/device_joined.h"
#include "devices/device_removal.h"
#include "shared/status_counters.h"

namespace vorn::app {

namespace {

enum class LengthRule { kExactly, kAtLeastOne };

// Every handler gets the whole frame (header and payload) and its length.
using FrameHandler = void (*)(const std::uint8_t *frame, std::size_t frame_length);

struct InboundFrameKind {
  std::uint8_t api_id;
  LengthRule rule;
  std::size_t length;
  const char *wrong_length_message;
  FrameHandler handle;
};

const std::uint8_t *payload_of(const std::uint8_t *frame) { return frame + core::kLinkHeaderSize; }

constexpr InboundFrameKind kInboundFrames[] = {
    {core::APP_DEVICE_JOINED_IND, LengthRule::kExactly, 19, "APP_DEVICE_JOINED_IND - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { devices::handle_device_joined(frame); }},
    {core::APP_DEVICE_LEFT_IND, LengthRule::kExactly, 8, "APP_DEVICE_LEFT_IND - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { devices::handle_device_left(frame); }},
    {core::APP_NWK_INFO_IND, LengthRule::kExactly, 21, "APP_NWK_INFO_IND - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { handle_nwk_info_ind(payload_of(frame)); }},
    {core::APP_GET_NWK_INFO_CNF, LengthRule::kExactly, 54, "APP_GET_NWK_INFO_CNF - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { handle_get_nwk_info_cnf(payload_of(frame)); }},
    {core::APP_GET_DEVICE_ARRAY_CNF, LengthRule::kAtLeastOne, 1, "APP_GET_DEVICE_ARRAY_CNF - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t frame_length) {
       handle_device_array_cnf(payload_of(frame), frame_length - core::kLinkHeaderSize);
     }},
    {core::APP_DEVICE_NOTACTIVE_UPDATE_IND, LengthRule::kExactly, 13,
     "APP_DEVICE_NOTACTIVE_UPDATE_IND - Wrong length!\n", devices::handle_device_not_active},
    {core::APP_DEVICE_DATA_RX_IND, LengthRule::kAtLeastOne, 1, "APP_DEVICE_DATA_RX_IND - Wrong length!\n",
     data::handle_data_indication},
    {core::APP_COLLECTOR_STATE_CNG_IND, LengthRule::kExactly, 1, "APP_COLLECTOR_STATE_CNG_IND - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { handle_collector_state_change(payload_of(frame)[0]); }},
    {core::APP_SET_JOIN_PERMIT_CNF, LengthRule::kExactly, 4, "APP_SET_JOIN_PERMIT_CNF - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { handle_join_permit_cnf(payload_of(frame)); }},
    {core::APP_TX_DATA_CNF, LengthRule::kExactly, 4, "APP_TX_DATA_CNF - Wrong length!\n",
     [](const std::uint8_t *frame, std::size_t) { handle_tx_data_cnf(payload_of(frame)); }},
};

const InboundFrameKind *kind_of(std::uint8_t api_id) {
  for (const InboundFrameKind &kind : kInboundFrames)
    if (kind.api_id == api_id) return &kind;
  return nullptr;
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
  const InboundFrameKind *kind = kind_of(frame[3]);
  if (kind == nullptr) {
    std::fputs("Unknow API ID, Reject!\n", stdout);
    core::hex_dump(frame, received);
    return;
  }
  const bool fits = kind->rule == LengthRule::kExactly ? length == kind->length : length != 0;
  if (!fits) {
    std::fputs(kind->wrong_length_message, stdout);
    return;
  }
  shared::count_frame(frame[3]);
  kind->handle(frame, received);
}

}  // namespace vorn::app
