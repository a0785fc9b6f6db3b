#include "shared/txq.h"

#include <cstring>

namespace vorn::shared {

namespace {

std::atomic_ref<std::int32_t> state_of(TxqSlot *slot) { return std::atomic_ref<std::int32_t>(slot->state); }

}  // namespace

TxqSlot *claim_txq_slot(TxqSegment *txq) {
  for (TxqSlot &slot : txq->slots) {
    std::int32_t expected = kSlotFree;
    if (state_of(&slot).compare_exchange_strong(expected, kSlotFilling, std::memory_order_acq_rel))
      return &slot;
  }
  return nullptr;
}

void publish_txq_slot(TxqSlot *slot, std::int32_t tx_api_id) {
  slot->tx_api_id = tx_api_id;
  state_of(slot).store(kSlotReady, std::memory_order_release);
}

void abandon_txq_slot(TxqSlot *slot) {
  slot->tx_api_id = 0;
  std::memset(slot->payload, 0, sizeof slot->payload);
  state_of(slot).store(kSlotFree, std::memory_order_release);
}

bool txq_slot_ready(const TxqSlot *slot) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t &>(slot->state))
             .load(std::memory_order_acquire) == kSlotReady;
}

void release_txq_slot(TxqSlot *slot) { abandon_txq_slot(slot); }

}  // namespace vorn::shared
