#include "shared/answered_records.h"

#include <sys/mman.h>
#include <unistd.h>

#include "core/process_identity.h"
#include "core/stop_notice.h"

namespace vorn::shared {

namespace {

// Only the first `limit` slots are used: a free one among them is the cap's room.
struct AnswerTable {
  std::int32_t limit;
  AnswerSlot slots[kAnswerSlots];
};
static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free);

AnswerTable *table = nullptr;

std::atomic_ref<std::int32_t> atomic(std::int32_t &field) { return std::atomic_ref<std::int32_t>(field); }

std::uint64_t started_of(AnswerSlot &slot) {
  return std::uint64_t{std::atomic_ref<std::uint32_t>(slot.started_high).load()} << 32 |
         std::atomic_ref<std::uint32_t>(slot.started_low).load();
}

// Frees the slots of holders that ended without giving them back.
void free_ended_holders() {
  for (int i = 0; i < table->limit; ++i) {
    AnswerSlot &slot = table->slots[i];
    std::int32_t pid = atomic(slot.pid).load();
    if (pid == 0 || core::process_running(pid, started_of(slot))) continue;
    // Its start time goes first, so the next holder's slot never shows the ended one's.
    std::atomic_ref<std::uint32_t>(slot.started_low).store(0);
    std::atomic_ref<std::uint32_t>(slot.started_high).store(0);
    atomic(slot.pid).compare_exchange_strong(pid, 0);
  }
}

int claim_slot(pid_t self) {
  for (int i = 0; i < table->limit; ++i) {
    std::int32_t free = 0;
    if (atomic(table->slots[i].pid).compare_exchange_strong(free, self)) return i;
  }
  return -1;
}

}  // namespace

void create_answer_slots(int limit) {
  if (table != nullptr) return;
  void *mapping = mmap(nullptr, sizeof(AnswerTable), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return;  // then no cap is kept, as before there was one
  table = static_cast<AnswerTable *>(mapping);  // zero-filled by the kernel
  table->limit = limit >= 1 && limit <= kAnswerSlots ? limit : kDefaultWaitingHandlers;
}

int answer_limit() { return table != nullptr ? table->limit : kDefaultWaitingHandlers; }

AnsweredRecords::AnsweredRecords(const char *sensor_id, int records) : sensor_id_(sensor_id), records_(records) {
  if (table == nullptr) return;
  const pid_t self = getpid();
  slot_ = claim_slot(self);
  if (slot_ < 0) {
    free_ended_holders();
    slot_ = claim_slot(self);
  }
  full_ = slot_ < 0;
  if (full_) return;
  // The start time follows the id: until it is there, a look at the slot takes any process of
  // that id for the holder, which is this one.
  AnswerSlot &slot = table->slots[slot_];
  const std::uint64_t started = core::own_start_time();
  std::atomic_ref<std::uint32_t>(slot.started_low).store(static_cast<std::uint32_t>(started));
  std::atomic_ref<std::uint32_t>(slot.started_high).store(static_cast<std::uint32_t>(started >> 32));
  atomic(slot.records).store(records);
}

void AnsweredRecords::answered() const {
  core::set_stop_notice("\t%d records of %s lost: the daemon stopped before Cloud_Agent took them\n", records_, sensor_id_);
}

AnsweredRecords::~AnsweredRecords() {
  core::clear_stop_notice();
  if (slot_ < 0) return;
  AnswerSlot &slot = table->slots[slot_];
  std::atomic_ref<std::uint32_t>(slot.started_low).store(0);
  std::atomic_ref<std::uint32_t>(slot.started_high).store(0);
  atomic(slot.pid).store(0);
}

int answers_held() {
  if (table == nullptr) return 0;
  int held = 0;
  for (AnswerSlot &slot : table->slots) {
    const std::int32_t pid = atomic(slot.pid).load();
    held += pid != 0 && core::process_running(pid, started_of(slot));
  }
  return held;
}

void answers_held_at_stop(long *sets, long *records) {
  *sets = 0;
  *records = 0;
  if (table == nullptr) return;
  for (AnswerSlot &slot : table->slots) {
    if (atomic(slot.pid).load() == 0) continue;
    ++*sets;
    *records += atomic(slot.records).load();
  }
}

}  // namespace vorn::shared
