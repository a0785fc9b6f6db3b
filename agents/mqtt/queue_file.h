// The SQLite file behind the queue: the messages that wait while the broker is away, the sensors'
// last state documents and a few counters, kept across restarts. It is written only in batches
// (one transaction each) and only when the queue asks; every byte SQLite writes to it is counted.
// A file that cannot be read is moved aside (to <file>.bad) and a fresh one started.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace mqtt_agent {

struct QueuedMessage {
  std::int64_t id = 0;
  std::string topic, payload;
  bool retain = false;
};

struct SqliteClose {
  void operator()(sqlite3 *db) const { sqlite3_close(db); }
};

struct SavedSensor {
  std::string document;
  bool present = false;
};

// What one batch writes.
struct QueueBatch {
  std::vector<const QueuedMessage *> append;  // in order, with their ids
  std::set<std::int64_t> remove;              // acknowledged rows
  std::int64_t keep = 0;                      // at most this many rows stay; older ones are dropped
  std::map<std::string, SavedSensor> sensors; // state documents to keep
  std::map<std::string, std::int64_t> counters;
};

class QueueFile {
 public:
  // Opens the file. A file that is no database or whose content cannot be read is moved aside with
  // one line on standard error and a fresh one is made; null (with `error`) when no file can be
  // made at all (no room, no folder).
  static std::unique_ptr<QueueFile> open(const std::string &path, std::string &error);

  // Writes the batch in one transaction. False when the file refused it (then nothing of it is
  // kept) with the reason in `error`; `dropped` gets the rows dropped over the limit.
  bool write(const QueueBatch &batch, std::int64_t &dropped, std::string &error);
  // Up to `count` rows after id `after`, oldest first, leaving out `skip`. False when the file
  // cannot be read.
  bool read(std::int64_t after, std::size_t count, const std::set<std::int64_t> &skip, std::vector<QueuedMessage> &out);

  std::int64_t rows() const { return rows_; }
  std::int64_t last_id() const { return last_id_; }
  std::int64_t counter(const std::string &key) const;
  // The sensors' documents as the file held them when opened (handed over once).
  std::map<std::string, SavedSensor> take_sensors() { return std::move(sensors_); }
  // Whether the last failure was a damaged file (rather than a full or read-only one).
  bool damaged() const { return damaged_; }

  // Bytes SQLite wrote to queue files (database and journal) since the agent started.
  static std::int64_t bytes_written();

 private:
  QueueFile(sqlite3 *db) : db_(db) {}
  bool load(std::string &error);

  std::unique_ptr<sqlite3, SqliteClose> db_;
  std::int64_t rows_ = 0, last_id_ = 0;
  std::map<std::string, std::int64_t> counters_;
  std::map<std::string, SavedSensor> sensors_;
  bool damaged_ = false;
};

// Moves the file and its journals aside to <path>.bad (replacing an earlier one).
void move_aside(const std::string &path);

}  // namespace mqtt_agent
