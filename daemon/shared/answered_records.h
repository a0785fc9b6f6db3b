// Frame handlers that hold records a sensor was told were taken, until the cloud agent has them.
// The sensor drops its records once it is answered, so such a handler waits for an agent that is
// away (a minute at most) and its memory stays taken as long. Their number is capped
// (gateway.main.waiting_handlers): past the cap a Data Frame Request is not answered, and the
// sensor keeps its records for a later request. The slots live in an anonymous shared mapping the
// main process makes before its first fork; a slot names its handler by process id and start
// time, so the slot of a handler killed without giving it back goes to the next.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

namespace vorn::shared {

constexpr int kAnswerSlots = 128;
constexpr int kDefaultWaitingHandlers = 32;

struct AnswerSlot {
  std::int32_t pid;            // 0: free
  std::uint32_t started_low;   // the holder's start time (core/process_identity.h), in halves
  std::uint32_t started_high;
  std::int32_t records;        // records the holder answered
};
static_assert(sizeof(AnswerSlot) == 16);

// Main process, before any fork: the slots, all free, and the cap (1..kAnswerSlots; other values
// give the default).
void create_answer_slots(int limit);
int answer_limit();

// Held by a handler from just before it answers a Data Frame Request whose records go to the
// cloud agent until the agent has them or they are given up. An orderly stop meanwhile says the
// records lost (core/stop_notice.h).
class AnsweredRecords {
 public:
  AnsweredRecords(const char *sensor_id, int records);  // the id is kept: it must outlive this
  ~AnsweredRecords();
  AnsweredRecords(const AnsweredRecords &) = delete;
  AnsweredRecords &operator=(const AnsweredRecords &) = delete;
  // False when every slot under the cap is held: the request is then not answered. (Without the
  // slots, in a process that has none, there is no cap.)
  bool held() const { return !full_; }
  // The sensor has been answered: from now on an orderly stop says the records lost.
  void answered() const;

 private:
  const char *sensor_id_;
  int records_;
  int slot_ = -1;
  bool full_ = false;
};

// Handlers holding answered records now (slots of ended handlers left out).
int answers_held();

// From the stop's signal handler: the record sets and records still held.
void answers_held_at_stop(long *sets, long *records);

}  // namespace vorn::shared
