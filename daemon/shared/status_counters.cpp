#include "shared/status_counters.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <iterator>

#include "core/link_frame.h"

namespace vorn::shared {

namespace {

StatusCounters *counters = nullptr;

std::atomic_ref<std::uint32_t> field(std::uint32_t &value) { return std::atomic_ref<std::uint32_t>(value); }

void add(std::uint32_t StatusCounters::*member) {
  if (counters != nullptr) field(counters->*member).fetch_add(1, std::memory_order_relaxed);
}

void store(std::uint32_t StatusCounters::*member, std::uint32_t value) {
  if (counters != nullptr) field(counters->*member).store(value, std::memory_order_relaxed);
}

std::uint32_t monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_sec);
}

bool process_alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

struct KindName {
  std::uint8_t api_id;
  FrameKind kind;
  const char *name;
};

constexpr KindName kKinds[] = {
    {core::APP_DEVICE_JOINED_IND, kJoinedFrame, "device_joined"},
    {core::APP_DEVICE_LEFT_IND, kLeftFrame, "device_left"},
    {core::APP_NWK_INFO_IND, kNetworkInfoFrame, "network_info"},
    {core::APP_GET_NWK_INFO_CNF, kNetworkInfoAnswerFrame, "network_info_answer"},
    {core::APP_GET_DEVICE_ARRAY_CNF, kDeviceArrayFrame, "device_array"},
    {core::APP_DEVICE_NOTACTIVE_UPDATE_IND, kNotActiveFrame, "device_not_active"},
    {core::APP_DEVICE_DATA_RX_IND, kSensorDataFrame, "sensor_data"},
    {core::APP_COLLECTOR_STATE_CNG_IND, kCollectorStateFrame, "collector_state"},
    {core::APP_SET_JOIN_PERMIT_CNF, kJoinPermitAnswerFrame, "join_permit_answer"},
    {core::APP_TX_DATA_CNF, kTxDataAnswerFrame, "tx_data_answer"},
};
static_assert(std::size(kKinds) == kFrameKindCount);

}  // namespace

FrameKind frame_kind_of(std::uint8_t api_id) {
  for (const KindName &kind : kKinds)
    if (kind.api_id == api_id) return kind.kind;
  return kFrameKindCount;
}

const char *frame_kind_name(FrameKind kind) {
  for (const KindName &entry : kKinds)
    if (entry.kind == kind) return entry.name;
  return "unknown";
}

void create_status_counters() {
  if (counters != nullptr) return;
  void *mapping = mmap(nullptr, sizeof(StatusCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return;  // the daemon runs on without a status object's counters
  counters = static_cast<StatusCounters *>(mapping);  // zero-filled by the kernel
  counters->started_unix = static_cast<std::uint32_t>(std::time(nullptr));
  counters->started_monotonic = monotonic_seconds();
}

const StatusCounters *status_counters() { return counters; }

void count_frame_received() { add(&StatusCounters::frames_received); }

void count_frame(std::uint8_t api_id) {
  const FrameKind kind = frame_kind_of(api_id);
  if (counters != nullptr && kind != kFrameKindCount)
    field(counters->frames[kind]).fetch_add(1, std::memory_order_relaxed);
}

void count_report(ReportOutcome outcome) {
  add(&StatusCounters::reports_made);
  if (outcome == ReportOutcome::kFailed) add(&StatusCounters::reports_failed);
  if (outcome == ReportOutcome::kTimedOut) add(&StatusCounters::reports_timed_out);
}

void count_command_restart() { add(&StatusCounters::command_restarts); }

void count_command(CommandFate fate) {
  add(fate == CommandFate::kMerged ? &StatusCounters::commands_merged : &StatusCounters::commands_dropped);
}

void set_commands_waiting(std::uint32_t waiting) { store(&StatusCounters::commands_waiting, waiting); }

void count_request_not_answered() { add(&StatusCounters::requests_not_answered); }

std::uint32_t count_lost_commit() {
  if (counters == nullptr) return 0;
  return field(counters->commits_lost).fetch_add(1, std::memory_order_relaxed) + 1;
}

void collector_starting() {
  add(&StatusCounters::collector_starts);
  store(&StatusCounters::collector_state, static_cast<std::uint32_t>(CollectorState::kStarting));
}

void collector_link_up() {
  store(&StatusCounters::link_up, 1);
  store(&StatusCounters::collector_state, static_cast<std::uint32_t>(CollectorState::kRunning));
}

void collector_link_lost() {
  store(&StatusCounters::link_up, 0);
  store(&StatusCounters::collector_state, static_cast<std::uint32_t>(CollectorState::kStarting));
  add(&StatusCounters::reconnects);
}

void sensor_heard(std::uint16_t short_address, std::uint32_t now_unix) {
  if (counters == nullptr || short_address >= kSensorSlots) return;
  field(counters->last_seen[short_address]).store(now_unix, std::memory_order_relaxed);
  field(counters->not_active[short_address]).store(0, std::memory_order_relaxed);
}

void sensor_not_active(std::uint16_t short_address) {
  if (counters == nullptr || short_address >= kSensorSlots) return;
  field(counters->not_active[short_address]).store(1, std::memory_order_relaxed);
}

HandlerAtWork::HandlerAtWork() {
  if (counters == nullptr) return;
  count_frame_received();
  const pid_t self = getpid();
  for (int i = 0; i < kHandlerSlots; ++i) {
    std::atomic_ref<std::int32_t> slot(counters->handler_pids[i]);
    std::int32_t seen = slot.load();
    if ((seen == 0 || !process_alive(seen)) && slot.compare_exchange_strong(seen, self)) {
      slot_ = i;
      return;
    }
  }
  untracked_ = true;
  add(&StatusCounters::handlers_untracked);
}

HandlerAtWork::~HandlerAtWork() {
  if (counters == nullptr) return;
  if (slot_ >= 0) {
    std::int32_t self = getpid();
    std::atomic_ref<std::int32_t>(counters->handler_pids[slot_]).compare_exchange_strong(self, 0);
  }
  if (untracked_) field(counters->handlers_untracked).fetch_sub(1, std::memory_order_relaxed);
}

int handlers_at_work(const StatusCounters &c) {
  int alive = 0;
  for (const std::int32_t &pid : c.handler_pids)
    alive += process_alive(std::atomic_ref<std::int32_t>(const_cast<std::int32_t &>(pid)).load()) ? 1 : 0;
  return alive + static_cast<int>(load(c.handlers_untracked));
}

std::uint32_t uptime_of(const StatusCounters &c) { return monotonic_seconds() - load(c.started_monotonic); }

}  // namespace vorn::shared
