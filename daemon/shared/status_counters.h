// Counters the daemon's processes keep for the status object. They live in one small anonymous
// shared mapping that the main process creates before its first fork, so the command process and
// every per-frame handler inherit it; each field is written with atomic operations only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn::shared {

enum class CollectorState : std::uint32_t { kStopped = 0, kStarting = 1, kRunning = 2 };

// The frame kinds counted, one per inbound API id the daemon handles.
enum FrameKind : std::uint32_t {
  kJoinedFrame,
  kLeftFrame,
  kNetworkInfoFrame,
  kNetworkInfoAnswerFrame,
  kDeviceArrayFrame,
  kNotActiveFrame,
  kSensorDataFrame,
  kCollectorStateFrame,
  kJoinPermitAnswerFrame,
  kTxDataAnswerFrame,
  kFrameKindCount
};

// The kind of an inbound API id; kFrameKindCount for an id the daemon does not handle.
FrameKind frame_kind_of(std::uint8_t api_id);
// The name the status object gives a kind.
const char *frame_kind_name(FrameKind kind);

constexpr int kSensorSlots = 101;   // indexed by short address, as the DeviceList
constexpr int kHandlerSlots = 64;   // handler processes tracked by pid

struct StatusCounters {
  std::uint32_t started_unix;        // wall-clock start, seconds
  std::uint32_t started_monotonic;   // CLOCK_MONOTONIC seconds at start, for the uptime
  std::uint32_t collector_state;     // CollectorState
  std::uint32_t link_up;
  std::uint32_t reconnects;          // times the link was lost and a reconnection began
  std::uint32_t collector_starts;    // collector (re)starts by this daemon
  std::uint32_t reports_made;
  std::uint32_t reports_failed;
  std::uint32_t command_restarts;
  std::uint32_t frames_received;     // every frame a handler looked at, rejected ones included
  std::uint32_t handlers_untracked;  // handlers running while every pid slot was taken
  std::uint32_t frames[kFrameKindCount];
  std::int32_t handler_pids[kHandlerSlots];  // 0: free
  std::uint32_t last_seen[kSensorSlots];     // unix s of the sensor's last frame, 0: none yet
  std::uint32_t not_active[kSensorSlots];    // 1 after a not-active indication, until it is heard
  std::uint32_t commits_lost;                // sensorlist commits that did not take
  std::uint32_t reports_timed_out;           // calls the agent did not answer in time (it may have taken them)
  std::uint32_t commands_waiting;            // cloud commands in the command process's backlog now
  std::uint32_t commands_merged;             // commands a newer one replaced while they waited
  std::uint32_t commands_dropped;            // commands dropped: the backlog was full
  std::uint32_t requests_not_answered;       // Data Frame Requests left unanswered: handlers at their cap
};
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free);
static_assert(offsetof(StatusCounters, frames) == 44);
static_assert(offsetof(StatusCounters, handler_pids) == 44 + 4 * kFrameKindCount);
static_assert(offsetof(StatusCounters, last_seen) == 44 + 4 * kFrameKindCount + 4 * kHandlerSlots);
static_assert(offsetof(StatusCounters, commits_lost) == 44 + 4 * kFrameKindCount + 4 * kHandlerSlots + 8 * kSensorSlots);
static_assert(sizeof(StatusCounters) == 68 + 4 * kFrameKindCount + 4 * kHandlerSlots + 8 * kSensorSlots);

// Main process, before any fork. Leaves the counters in place when they already exist.
void create_status_counters();
// Null in a process that has none (a test, a tool): every hook below is then a no-op.
const StatusCounters *status_counters();

// Atomic field access, for the hooks and the readers alike.
inline std::uint32_t load(const std::uint32_t &field) {
  return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t &>(field)).load(std::memory_order_relaxed);
}

// Hooks.
void count_frame_received();
void count_frame(std::uint8_t api_id);
// What became of one report: taken by the agent, certainly not (the agent absent, or an error it
// answered), or not known (no answer in time: the agent may still have taken it).
enum class ReportOutcome { kDelivered, kFailed, kTimedOut };
void count_report(ReportOutcome outcome);
void count_command_restart();
enum class CommandFate { kMerged, kDropped };
void count_command(CommandFate fate);
void set_commands_waiting(std::uint32_t waiting);
void count_request_not_answered();
// Counts a sensorlist commit that did not take; the count so far (0 without counters).
std::uint32_t count_lost_commit();
void collector_starting();    // counts a (re)start
void collector_link_up();
void collector_link_lost();   // counts a reconnection
void sensor_heard(std::uint16_t short_address, std::uint32_t now_unix);
void sensor_not_active(std::uint16_t short_address);

// A handler process at work: its pid is in a slot for the handler's lifetime. A slot whose process
// is gone (ended without unwinding) is taken over by the next handler, so the count heals itself.
class HandlerAtWork {
 public:
  HandlerAtWork();
  ~HandlerAtWork();
  HandlerAtWork(const HandlerAtWork &) = delete;
  HandlerAtWork &operator=(const HandlerAtWork &) = delete;

 private:
  int slot_ = -1;
  bool untracked_ = false;
};

// Handler processes alive now.
int handlers_at_work(const StatusCounters &counters);
// Seconds since the counters were created (the daemon's start).
std::uint32_t uptime_of(const StatusCounters &counters);

}  // namespace vorn::shared
