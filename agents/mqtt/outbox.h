// The queue of messages for the broker. While the broker takes them, messages live in memory only
// and nothing is written per message. They go to the queue file, in batches, only while the broker
// is away or when unacknowledged messages pile up, and leave it once acknowledged, so nothing is
// lost while the broker is away or the agent restarts. Past the limit the oldest are dropped and
// counted. When the file cannot be written (a full disk), messages stay in memory up to the limit.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "queue_file.h"

namespace mqtt_agent {

struct OutboxCounters {
  std::int64_t dropped = 0;         // dropped over the limit and not yet announced
  std::int64_t dropped_total = 0;   // dropped since the agent started
  std::int64_t unsaved = 0;         // messages a failed write kept in memory
  std::int64_t write_failures = 0;  // batches the file refused
};

class Outbox {
 public:
  // Messages kept in memory before they go to the file even while the broker is there.
  static constexpr std::size_t kMemoryMessages = 1000;
  static constexpr std::size_t kMemoryBytes = 2 << 20;
  // While the broker is away, a batch is written once this many wait, or this long after the first.
  static constexpr std::size_t kBatchMessages = 100;
  static constexpr std::time_t kBatchSeconds = 5;

  // Never fails: without a usable file (no room, no folder) it keeps messages in memory and tries
  // the file again with every batch.
  Outbox(std::string path, std::int64_t limit);
  ~Outbox();  // writes what is left: unacknowledged messages, sensors, counters
  Outbox(const Outbox &) = delete;
  Outbox &operator=(const Outbox &) = delete;

  void push(const std::string &topic, const std::string &payload, bool retain);
  // Up to `count` messages after id `after`, oldest first.
  std::vector<QueuedMessage> after(std::int64_t after, std::size_t count);
  // The broker acknowledged the message.
  void remove(std::int64_t id);
  std::int64_t size() const;
  std::int64_t in_memory() const { return static_cast<std::int64_t>(memory_.size()); }

  // Writes a batch when one is due: `connected` tells whether the broker is there (until the
  // first call it counts as there).
  void maintain(bool connected, std::time_t now);
  void set_connected(bool connected) { connected_ = connected; }
  // Writes everything that waits in memory now.
  void flush(std::time_t now);

  const OutboxCounters &counters() const { return counters_; }
  void clear_dropped() { counters_.dropped = 0; }
  bool file_ok() const { return file_ != nullptr && !failing_; }

  // The last state document of each sensor and whether it is present, kept across restarts.
  // `now` writes it with the next batch at once (a sensor joined, left or changed its channels);
  // otherwise it is written with the next batch that is due, or at the end.
  void save_sensor(const std::string &id, const std::string &document, bool present, bool now);
  // What the file held at start (handed over once).
  std::map<std::string, SavedSensor> take_saved_sensors();
  // Counts the fresh files started after one was found damaged: their sensors must be saved again.
  std::int64_t generation() const { return generation_; }

  // A running number that survives restarts (the state documents' "seq"), never given twice.
  std::int64_t next_sequence();

 private:
  void drop_oldest_in_memory();
  void count_unsaved();
  void recover_damaged(const char *what);
  bool write_batch(bool everything, std::time_t now);
  void reopen(std::time_t now);
  void file_failed(const std::string &what, const std::string &error);

  std::string path_;
  std::int64_t limit_;
  std::unique_ptr<QueueFile> file_;
  std::map<std::int64_t, QueuedMessage> memory_;  // newer than every row of the file
  std::size_t memory_bytes_ = 0;
  std::set<std::int64_t> acknowledged_;            // rows of the file to delete with the next batch
  std::map<std::string, SavedSensor> saved_;       // as the file held them at start
  std::map<std::string, SavedSensor> sensors_waiting_;  // to be written
  bool sensors_urgent_ = false;
  std::int64_t next_id_ = 1;
  std::int64_t generation_ = 0;
  std::int64_t unsaved_upto_ = 0;                  // messages up to this id are counted as unsaved
  std::int64_t sequence_ = 0, sequence_reserved_ = 0;
  std::time_t first_waiting_ = 0;                  // when the oldest unwritten message came, 0 none
  std::time_t last_open_try_ = 0;
  std::time_t retry_at_ = 0;                       // no write before this after a refusal
  bool connected_ = true;
  bool failing_ = false;                           // the last write failed (one line per change)
  OutboxCounters counters_;
};

}  // namespace mqtt_agent
