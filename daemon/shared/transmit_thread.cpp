#include "shared/transmit_thread.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/daemon_state.h"
#include "core/process_fork.h"
#include "devices/device_removal.h"
#include "firmware/firmware_download.h"
#include "shared/device_list.h"
#include "shared/request_builders.h"
#include "shared/segments.h"

namespace vorn::shared {

namespace {

constexpr std::size_t kRemovalTextSize = 21;  // 4 digits of short address, one byte, 16 of ExtAddress

// A zero-terminated text of a TXQ payload starting at `offset`, never read past the payload.
void payload_text(const std::uint8_t *payload, std::size_t offset, char (&text)[kTxqPayloadSize]) {
  std::size_t length = strnlen(reinterpret_cast<const char *>(payload + offset), kTxqPayloadSize - offset);
  if (length == kTxqPayloadSize - offset) --length;
  std::memcpy(text, payload + offset, length);
  text[length] = '\0';
}

void remove_queued_sensor(const void *removal) {
  devices::remove_sensor(static_cast<const char *>(removal), nullptr, 0);
}

// A removal reads the sensor list through a pipe, takes the sensor's section lock and runs uci:
// done in this thread, a handler forked meanwhile would inherit the lock or the pipe and wait on
// itself. It runs in a process of its own instead, on a copy of the request (the slot is freed
// as soon as this returns).
void remove_in_own_process(const std::uint8_t *payload) {
  char removal[kRemovalTextSize + 1] = {};
  std::memcpy(removal, payload, kRemovalTextSize);
  core::run_detached(remove_queued_sensor, removal, "queued removal");
}

}  // namespace

void serve_txq_request(std::int32_t tx_api_id, const std::uint8_t *payload) {
  const std::uint8_t index = payload[0];
  char text[kTxqPayloadSize];
  switch (tx_api_id) {
    case 3: send_get_nwk_info_req(); break;
    case 6: send_device_array_req(); break;
    case 11: send_join_permit_req(payload[0] != 0); break;
    case 13: send_config_request(payload[0], reinterpret_cast<const char *>(payload + 1), 0); break;
    case 15: remove_in_own_process(payload); break;
    case 20:
      if (!is_device_index(index)) {
        std::puts("Can't process sensor OAD");
        break;
      }
      payload_text(payload, 1, text);
      send_sensor_oad_start_req(index, text);
      break;
    case 21: send_oad_file_req(payload); break;
    case 23: send_oad_status_req(); break;
    case 24: send_set_device_value_req(payload); break;
    case 25: send_get_device_value_req(payload); break;
    case 26:
      send_set_sensor_req(payload);
      send_config_request(1, reinterpret_cast<const char *>(payload), 0);
      break;
    case 27: send_get_sensor_req(payload); break;
    case 36:
      payload_text(payload, 1, text);
      firmware::request_msp430_download(index, text, 1);
      break;
    case 37:
      if (is_device_index(index)) send_cancel_msp430_oad_req(index);
      else std::puts("Unable to cancel the MSP430 OAD process");
      break;
    case 40:
      if (is_device_index(index)) send_cancel_oad_req(index);
      else std::puts("Unable to cancel the OAD process");
      break;
    default: std::fputs("Unknow TX API ID!.\n", stdout); break;
  }
}

void serve_next_txq_slot(TxqSegment *txq, TransmitCursor &cursor) {
  TxqSlot *slot = &txq->slots[cursor.index];
  if (txq_slot_ready(slot)) {
    serve_txq_request(slot->tx_api_id, slot->payload);
    release_txq_slot(slot);
  }
  cursor.index = (cursor.index + 1) % kTxqSlots;
}

void *transmit_thread(void *) {
  send_get_nwk_info_req();
  SegmentAttachment segment(core::daemon_state.txq_segment_id);  // failure ends the daemon
  auto *txq = static_cast<TxqSegment *>(segment.address());
  TransmitCursor cursor;
  const timespec step{0, 5'000'000};
  for (;;) {
    serve_next_txq_slot(txq, cursor);
    clock_nanosleep(CLOCK_REALTIME, 0, &step, nullptr);
  }
}

}  // namespace vorn::shared
