#include "txq_probe.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <random>
#include <thread>

#include "bus_json.h"
#include "gateway_under_test.h"
#include "shared/txq.h"

namespace bench {

namespace {

constexpr key_t kTxqKey = 5168;
constexpr int kGetDeviceArray = 6;  // its answer is only printed: the probe adds little work
constexpr const char *kRequest = "APP_GET_DEVICE_ARRAY_REQ";

struct Arrival {
  long long count = 0;
  double at = 0;
};

// One bus connection for all the looks at the collector's counts, so that looking costs little
// beside the daemon being measured.
class CollectorCounts {
 public:
  CollectorCounts() {
    uloop_init();
    bus_.reset(ubus_connect(nullptr));
  }
  ~CollectorCounts() {
    bus_.reset();
    uloop_done();
  }
  CollectorCounts(const CollectorCounts &) = delete;
  CollectorCounts &operator=(const CollectorCounts &) = delete;
  Arrival last_arrival() {
    const sim::Json stats = bus_ ? sim::call_json(bus_.get(), "collector_sim", "stats", "", 3000) : sim::Json();
    return {count_of(stats.get(), "Received", kRequest),
            sim::number_member(sim::member(stats.get(), "LastReceivedAt"), kRequest, 0)};
  }

 private:
  sim::Bus bus_;
};

// The queue segment, attached for as long as it lives.
class TxqAttachment {
 public:
  TxqAttachment() {
    const int id = shmget(kTxqKey, sizeof(vorn::shared::TxqSegment), 0);
    void *address = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
    if (address != reinterpret_cast<void *>(-1)) txq_ = static_cast<vorn::shared::TxqSegment *>(address);
  }
  ~TxqAttachment() {
    if (txq_ != nullptr) shmdt(txq_);
  }
  TxqAttachment(const TxqAttachment &) = delete;
  TxqAttachment &operator=(const TxqAttachment &) = delete;
  vorn::shared::TxqSegment *get() const { return txq_; }

 private:
  vorn::shared::TxqSegment *txq_ = nullptr;
};

}  // namespace

std::vector<double> txq_latencies(int count, int &lost) {
  std::vector<double> latencies;
  lost = 0;
  CollectorCounts collector;
  TxqAttachment txq;
  if (txq.get() == nullptr) {
    lost = count;
    return latencies;
  }
  std::mt19937 random(5168);
  std::uniform_int_distribution<int> offset_us(0, 50'000);
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(offset_us(random)));
    const Arrival before = collector.last_arrival();
    vorn::shared::TxqSlot *slot = vorn::shared::claim_txq_slot(txq.get());
    if (slot == nullptr) {
      ++lost;
      continue;
    }
    const double posted_at = monotonic_seconds();
    vorn::shared::publish_txq_slot(slot, kGetDeviceArray);
    Arrival now = before;
    while (now.count == before.count && monotonic_seconds() - posted_at < 1.0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      now = collector.last_arrival();
    }
    if (now.count == before.count) {
      ++lost;
      continue;
    }
    latencies.push_back((now.at - posted_at) * 1000);
  }
  return latencies;
}

}  // namespace bench
