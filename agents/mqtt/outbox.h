// The persistent queue of messages for the broker: every message waits here, in order, until the
// broker has acknowledged it, so nothing is lost while the broker is away or the agent restarts.
// Past the limit the oldest are dropped and counted.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
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

class Outbox {
 public:
  // Opens (creating) the queue file; null with `error` filled when it cannot.
  static std::unique_ptr<Outbox> open(const std::string &path, std::int64_t limit, std::string &error);

  // Appends a message; drops the oldest beyond the limit. False when the file refuses the write.
  bool push(const std::string &topic, const std::string &payload, bool retain);
  // Up to `count` messages after id `after`, oldest first.
  std::vector<QueuedMessage> after(std::int64_t after, std::size_t count);
  void remove(std::int64_t id);
  std::int64_t size();

  // Messages dropped over the limit and not yet announced; kept across restarts.
  std::int64_t dropped();
  void clear_dropped();

  // The last state document of each sensor and whether it is present, kept across restarts.
  void save_sensor(const std::string &id, const std::string &document, bool present);
  struct SavedSensor {
    std::string id, document;
    bool present = false;
  };
  std::vector<SavedSensor> saved_sensors();

  // A counter that survives restarts (the state documents' running number).
  std::int64_t next_sequence();

 private:
  explicit Outbox(sqlite3 *db, std::int64_t limit) : db_(db), limit_(limit) {}
  bool run(const char *sql);
  std::int64_t meta(const char *key);
  void set_meta(const char *key, std::int64_t value);

  std::unique_ptr<sqlite3, SqliteClose> db_;
  std::int64_t limit_;
  std::int64_t count_ = -1;  // cached size
};

}  // namespace mqtt_agent
