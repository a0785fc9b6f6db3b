#include "outbox.h"

namespace mqtt_agent {

namespace {

struct StatementFinalize {
  void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

Statement prepare(sqlite3 *db, const char *sql) {
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return nullptr;
  return Statement(statement);
}

}  // namespace

std::unique_ptr<Outbox> Outbox::open(const std::string &path, std::int64_t limit, std::string &error) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Outbox> box(new Outbox(db, limit < 1 ? 1 : limit));
  sqlite3_busy_timeout(db, 2000);
  // WAL with normal syncing: a crash of the agent loses nothing, a power cut at most the last
  // moments, and every queued message costs no full sync of the flash.
  if (!box->run("PRAGMA journal_mode=WAL") || !box->run("PRAGMA synchronous=NORMAL") ||
      !box->run("CREATE TABLE IF NOT EXISTS messages (id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, "
                "payload BLOB NOT NULL, retain INTEGER NOT NULL)") ||
      !box->run("CREATE TABLE IF NOT EXISTS sensors (id TEXT PRIMARY KEY, document TEXT NOT NULL, present INTEGER NOT NULL)") ||
      !box->run("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL)")) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  return box;
}

bool Outbox::run(const char *sql) { return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

std::int64_t Outbox::meta(const char *key) {
  Statement statement = prepare(db_.get(), "SELECT value FROM meta WHERE key = ?");
  if (!statement) return 0;
  sqlite3_bind_text(statement.get(), 1, key, -1, SQLITE_STATIC);
  return sqlite3_step(statement.get()) == SQLITE_ROW ? sqlite3_column_int64(statement.get(), 0) : 0;
}

void Outbox::set_meta(const char *key, std::int64_t value) {
  Statement statement = prepare(db_.get(), "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)");
  if (!statement) return;
  sqlite3_bind_text(statement.get(), 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_int64(statement.get(), 2, value);
  sqlite3_step(statement.get());
}

std::int64_t Outbox::size() {
  if (count_ < 0) {
    Statement statement = prepare(db_.get(), "SELECT COUNT(*) FROM messages");
    count_ = statement && sqlite3_step(statement.get()) == SQLITE_ROW ? sqlite3_column_int64(statement.get(), 0) : 0;
  }
  return count_;
}

bool Outbox::push(const std::string &topic, const std::string &payload, bool retain) {
  const std::int64_t before = size();
  Statement insert = prepare(db_.get(), "INSERT INTO messages (topic, payload, retain) VALUES (?, ?, ?)");
  if (!insert) return false;
  sqlite3_bind_text(insert.get(), 1, topic.data(), static_cast<int>(topic.size()), SQLITE_TRANSIENT);
  sqlite3_bind_blob(insert.get(), 2, payload.data(), static_cast<int>(payload.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int(insert.get(), 3, retain ? 1 : 0);
  if (sqlite3_step(insert.get()) != SQLITE_DONE) return false;
  count_ = before + 1;
  if (count_ > limit_) {
    const std::int64_t excess = count_ - limit_;
    Statement trim = prepare(db_.get(), "DELETE FROM messages WHERE id IN (SELECT id FROM messages ORDER BY id LIMIT ?)");
    if (trim) {
      sqlite3_bind_int64(trim.get(), 1, excess);
      if (sqlite3_step(trim.get()) == SQLITE_DONE) {
        set_meta("dropped", meta("dropped") + excess);
        count_ = limit_;
      }
    }
  }
  return true;
}

std::vector<QueuedMessage> Outbox::after(std::int64_t after, std::size_t count) {
  std::vector<QueuedMessage> messages;
  Statement statement = prepare(db_.get(), "SELECT id, topic, payload, retain FROM messages WHERE id > ? ORDER BY id LIMIT ?");
  if (!statement) return messages;
  sqlite3_bind_int64(statement.get(), 1, after);
  sqlite3_bind_int64(statement.get(), 2, static_cast<std::int64_t>(count));
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    QueuedMessage message;
    message.id = sqlite3_column_int64(statement.get(), 0);
    const auto *topic = reinterpret_cast<const char *>(sqlite3_column_text(statement.get(), 1));
    message.topic = topic != nullptr ? topic : "";
    const void *payload = sqlite3_column_blob(statement.get(), 2);
    if (payload != nullptr)
      message.payload.assign(static_cast<const char *>(payload), static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 2)));
    message.retain = sqlite3_column_int(statement.get(), 3) != 0;
    messages.push_back(std::move(message));
  }
  return messages;
}

void Outbox::remove(std::int64_t id) {
  Statement statement = prepare(db_.get(), "DELETE FROM messages WHERE id = ?");
  if (!statement) return;
  sqlite3_bind_int64(statement.get(), 1, id);
  if (sqlite3_step(statement.get()) == SQLITE_DONE && sqlite3_changes(db_.get()) > 0 && count_ > 0) --count_;
}

void Outbox::save_sensor(const std::string &id, const std::string &document, bool present) {
  Statement statement = prepare(db_.get(), "INSERT OR REPLACE INTO sensors (id, document, present) VALUES (?, ?, ?)");
  if (!statement) return;
  sqlite3_bind_text(statement.get(), 1, id.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(statement.get(), 2, document.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(statement.get(), 3, present ? 1 : 0);
  sqlite3_step(statement.get());
}

std::vector<Outbox::SavedSensor> Outbox::saved_sensors() {
  std::vector<SavedSensor> sensors;
  Statement statement = prepare(db_.get(), "SELECT id, document, present FROM sensors ORDER BY id");
  while (statement && sqlite3_step(statement.get()) == SQLITE_ROW) {
    const auto *id = reinterpret_cast<const char *>(sqlite3_column_text(statement.get(), 0));
    const auto *document = reinterpret_cast<const char *>(sqlite3_column_text(statement.get(), 1));
    sensors.push_back({id != nullptr ? id : "", document != nullptr ? document : "", sqlite3_column_int(statement.get(), 2) != 0});
  }
  return sensors;
}

std::int64_t Outbox::dropped() { return meta("dropped"); }
void Outbox::clear_dropped() { set_meta("dropped", 0); }

std::int64_t Outbox::next_sequence() {
  const std::int64_t next = meta("sequence") + 1;
  set_meta("sequence", next);
  return next;
}

}  // namespace mqtt_agent
