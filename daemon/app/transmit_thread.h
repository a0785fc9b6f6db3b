// The transmit thread of the main process: serves the TXQ one slot every 5 ms.
#pragma once

#include "shared/txq.h"

namespace vorn::app {

// Thread body (started with the text "appcli_tx", which it does not use). Never returns.
void *transmit_thread(void *argument);

// Examines the slot under the cursor, serves and releases it when it is ready, and moves the
// cursor on (after 9 comes 0).
struct TransmitCursor {
  int index = 0;
};
void serve_next_txq_slot(shared::TxqSegment *txq, TransmitCursor &cursor);

}  // namespace vorn::app
