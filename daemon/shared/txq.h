// The TX request queue segment: ten slots through which other processes ask the transmit thread
// to send a request to the collector.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn::shared {

constexpr int kTxqSlots = 10;
constexpr std::size_t kTxqPayloadSize = 128;

enum TxqSlotState : std::int32_t { kSlotFree = 0, kSlotFilling = 1, kSlotReady = 2 };

struct TxqSlot {
  std::int32_t state;
  std::int32_t tx_api_id;
  std::uint8_t payload[kTxqPayloadSize];
};
static_assert(sizeof(TxqSlot) == 136);
static_assert(offsetof(TxqSlot, tx_api_id) == 4 && offsetof(TxqSlot, payload) == 8);

struct TxqSegment {
  TxqSlot slots[kTxqSlots];
};
static_assert(sizeof(TxqSegment) == 1360);

// The state word is shared between processes; these atomics are lock-free and so address-free.
static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free);

// Producer side. Claims the first free slot (0..9) by an atomic change of its state from free to
// filling, so two producers never get the same slot. nullptr when the queue is full.
TxqSlot *claim_txq_slot(TxqSegment *txq);
// Hands a filled slot to the transmit thread; the state is written last.
void publish_txq_slot(TxqSlot *slot, std::int32_t tx_api_id);
// Gives back a claimed slot that could not be completed, leaving no partial request.
void abandon_txq_slot(TxqSlot *slot);

// Transmit-thread side.
bool txq_slot_ready(const TxqSlot *slot);
// Clears the request and frees the slot; the state is written last.
void release_txq_slot(TxqSlot *slot);

}  // namespace vorn::shared
