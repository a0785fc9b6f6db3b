#include "app/transmit_thread.h"

#include <ctime>

#include "app/txq_requests.h"
#include "core/daemon_state.h"
#include "shared/request_builders.h"
#include "shared/segments.h"

namespace vorn::app {

void serve_next_txq_slot(shared::TxqSegment *txq, TransmitCursor &cursor) {
  shared::TxqSlot *slot = &txq->slots[cursor.index];
  if (shared::txq_slot_ready(slot)) {
    serve_txq_request(slot->tx_api_id, slot->payload);
    shared::release_txq_slot(slot);
  }
  cursor.index = (cursor.index + 1) % shared::kTxqSlots;
}

void *transmit_thread(void *) {
  shared::send_get_nwk_info_req();
  shared::SegmentAttachment segment(core::daemon_state.txq_segment_id);  // failure ends the daemon
  auto *txq = static_cast<shared::TxqSegment *>(segment.address());
  TransmitCursor cursor;
  const timespec step{0, 5'000'000};
  for (;;) {
    serve_next_txq_slot(txq, cursor);
    clock_nanosleep(CLOCK_REALTIME, 0, &step, nullptr);
  }
}

}  // namespace vorn::app
