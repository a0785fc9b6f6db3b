// The daemon's TX queue as a producer outside it sees it: ten slots of a state, a request id and
// 128 payload bytes in the System V segment of key 5168.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace sim::test {

struct QueueSlot {
  std::int32_t state;  // 0 free, 1 being filled, 2 ready
  std::int32_t id;
  std::uint8_t payload[128];
};
static_assert(sizeof(QueueSlot) == 136);
constexpr key_t kQueueKey = 5168;

class Queue {
 public:
  Queue() : slots_(static_cast<QueueSlot *>(shmat(shmget(kQueueKey, 0, 0), nullptr, 0))) {}
  ~Queue() {
    if (slots_ != reinterpret_cast<QueueSlot *>(-1)) shmdt(slots_);
  }
  bool attached() const { return slots_ != reinterpret_cast<QueueSlot *>(-1); }
  // Posts a request as the daemon's producers do; false when all ten slots stay taken for 5 s.
  bool post(std::int32_t id, const std::string &payload = "") {
    for (int tries = 0; tries < 500; ++tries) {
      for (int i = 0; i < 10; ++i) {
        std::atomic_ref<std::int32_t> state(slots_[i].state);
        std::int32_t free_state = 0;
        if (!state.compare_exchange_strong(free_state, 1)) continue;
        std::memset(slots_[i].payload, 0, sizeof slots_[i].payload);
        std::memcpy(slots_[i].payload, payload.data(), std::min(payload.size(), sizeof slots_[i].payload));
        slots_[i].id = id;
        state.store(2);
        return true;
      }
      usleep(10 * 1000);
    }
    return false;
  }
  int free_slots() const {
    int count = 0;
    for (int i = 0; i < 10; ++i) count += std::atomic_ref<std::int32_t>(slots_[i].state).load() == 0;
    return count;
  }

 private:
  QueueSlot *slots_;
};

}  // namespace sim::test
