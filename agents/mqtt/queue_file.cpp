#include "queue_file.h"

#include <cstdio>

namespace mqtt_agent {

namespace {

// --- A VFS over the system's that counts the bytes written, so the flash wear is a figure.

std::int64_t g_bytes_written = 0;  // the agent's one thread writes the queue

struct CountingFile {
  sqlite3_file base;
  sqlite3_file *real;  // the system VFS's file, right behind this struct
};

sqlite3_file *real_of(sqlite3_file *file) { return reinterpret_cast<CountingFile *>(file)->real; }

int counting_close(sqlite3_file *file) { return real_of(file)->pMethods->xClose(real_of(file)); }
int counting_read(sqlite3_file *file, void *buffer, int amount, sqlite3_int64 offset) {
  return real_of(file)->pMethods->xRead(real_of(file), buffer, amount, offset);
}
int counting_write(sqlite3_file *file, const void *buffer, int amount, sqlite3_int64 offset) {
  const int rc = real_of(file)->pMethods->xWrite(real_of(file), buffer, amount, offset);
  if (rc == SQLITE_OK) g_bytes_written += amount;
  return rc;
}
int counting_truncate(sqlite3_file *file, sqlite3_int64 size) { return real_of(file)->pMethods->xTruncate(real_of(file), size); }
int counting_sync(sqlite3_file *file, int flags) { return real_of(file)->pMethods->xSync(real_of(file), flags); }
int counting_file_size(sqlite3_file *file, sqlite3_int64 *size) { return real_of(file)->pMethods->xFileSize(real_of(file), size); }
int counting_lock(sqlite3_file *file, int lock) { return real_of(file)->pMethods->xLock(real_of(file), lock); }
int counting_unlock(sqlite3_file *file, int lock) { return real_of(file)->pMethods->xUnlock(real_of(file), lock); }
int counting_check_lock(sqlite3_file *file, int *out) { return real_of(file)->pMethods->xCheckReservedLock(real_of(file), out); }
int counting_control(sqlite3_file *file, int op, void *arg) { return real_of(file)->pMethods->xFileControl(real_of(file), op, arg); }
int counting_sector_size(sqlite3_file *file) { return real_of(file)->pMethods->xSectorSize(real_of(file)); }
int counting_characteristics(sqlite3_file *file) { return real_of(file)->pMethods->xDeviceCharacteristics(real_of(file)); }
int counting_shm_map(sqlite3_file *file, int page, int size, int extend, void volatile **out) {
  return real_of(file)->pMethods->xShmMap(real_of(file), page, size, extend, out);
}
int counting_shm_lock(sqlite3_file *file, int offset, int n, int flags) {
  return real_of(file)->pMethods->xShmLock(real_of(file), offset, n, flags);
}
void counting_shm_barrier(sqlite3_file *file) { real_of(file)->pMethods->xShmBarrier(real_of(file)); }
int counting_shm_unmap(sqlite3_file *file, int delete_flag) { return real_of(file)->pMethods->xShmUnmap(real_of(file), delete_flag); }
int counting_fetch(sqlite3_file *file, sqlite3_int64 offset, int amount, void **out) {
  return real_of(file)->pMethods->xFetch(real_of(file), offset, amount, out);
}
int counting_unfetch(sqlite3_file *file, sqlite3_int64 offset, void *page) {
  return real_of(file)->pMethods->xUnfetch(real_of(file), offset, page);
}

const sqlite3_io_methods kCountingMethods = {
    3,                    counting_close,     counting_read,         counting_write,       counting_truncate,
    counting_sync,        counting_file_size, counting_lock,         counting_unlock,      counting_check_lock,
    counting_control,     counting_sector_size, counting_characteristics, counting_shm_map, counting_shm_lock,
    counting_shm_barrier, counting_shm_unmap, counting_fetch,        counting_unfetch,
};

sqlite3_vfs g_counting_vfs{};

int counting_open(sqlite3_vfs *vfs, const char *name, sqlite3_file *file, int flags, int *out_flags) {
  auto *system = static_cast<sqlite3_vfs *>(vfs->pAppData);
  auto *counting = reinterpret_cast<CountingFile *>(file);
  counting->real = reinterpret_cast<sqlite3_file *>(counting + 1);
  const int rc = system->xOpen(system, name, counting->real, flags, out_flags);
  // The system's methods must all be there to be forwarded; without them the file stays closed.
  counting->base.pMethods = rc == SQLITE_OK && counting->real->pMethods != nullptr && counting->real->pMethods->iVersion >= 3
                                ? &kCountingMethods
                                : nullptr;
  if (rc == SQLITE_OK && counting->base.pMethods == nullptr && counting->real->pMethods != nullptr) {
    counting->real->pMethods->xClose(counting->real);
    return SQLITE_CANTOPEN;
  }
  return rc;
}

const char *counting_vfs_name() {
  if (g_counting_vfs.zName != nullptr) return g_counting_vfs.zName;
  sqlite3_vfs *system = sqlite3_vfs_find(nullptr);
  if (system == nullptr) return nullptr;
  g_counting_vfs = *system;
  g_counting_vfs.zName = "mqtt_agent_counting";
  g_counting_vfs.szOsFile = static_cast<int>(sizeof(CountingFile)) + system->szOsFile;
  g_counting_vfs.pAppData = system;
  g_counting_vfs.xOpen = counting_open;
  g_counting_vfs.pNext = nullptr;
  if (sqlite3_vfs_register(&g_counting_vfs, 0) != SQLITE_OK) {
    g_counting_vfs.zName = nullptr;
    return nullptr;
  }
  return g_counting_vfs.zName;
}

// --- The file.

struct StatementFinalize {
  void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

Statement prepare(sqlite3 *db, const char *sql) {
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return nullptr;
  return Statement(statement);
}

bool is_damage(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string text_column(sqlite3_stmt *statement, int column) {
  const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
  return text != nullptr ? text : "";
}

// Opens and prepares the file; the SQLite result code of the first failure, with its text.
int open_database(const std::string &path, std::unique_ptr<sqlite3, SqliteClose> &db, std::string &error) {
  sqlite3 *raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, counting_vfs_name());
  db.reset(raw);
  if (rc != SQLITE_OK) {
    error = raw != nullptr ? sqlite3_errmsg(raw) : "out of memory";
    return rc;
  }
  // The file is written in a few batches: no lookaside memory kept for a busy connection.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_LOOKASIDE, nullptr, 0, 0);
  // Only the agent uses the file: an exclusive lock keeps the journal's index in memory (no shared
  // memory file beside it, which some flash file systems cannot map). WAL with normal syncing: a
  // crash of the agent loses nothing written, a power cut at most the last batch. A small cache
  // keeps the agent small.
  const char *setup[] = {
      "PRAGMA locking_mode=EXCLUSIVE",
      "PRAGMA journal_mode=WAL",
      "PRAGMA synchronous=NORMAL",
      "PRAGMA cache_size=-64",
      "PRAGMA wal_autocheckpoint=128",
      "PRAGMA journal_size_limit=1048576",
      "CREATE TABLE IF NOT EXISTS messages (id INTEGER PRIMARY KEY, topic TEXT NOT NULL, payload BLOB NOT NULL, "
      "retain INTEGER NOT NULL)",
      "CREATE TABLE IF NOT EXISTS sensors (id TEXT PRIMARY KEY, document TEXT NOT NULL, present INTEGER NOT NULL)",
      "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL)",
  };
  for (const char *sql : setup) {
    rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      error = sqlite3_errmsg(db.get());
      return sqlite3_extended_errcode(db.get());
    }
  }
  return SQLITE_OK;
}

}  // namespace

std::int64_t QueueFile::bytes_written() { return g_bytes_written; }

void move_aside(const std::string &path) {
  std::rename(path.c_str(), (path + ".bad").c_str());
  for (const char *suffix : {"-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

bool QueueFile::load(std::string &error) {
  // The whole file is read once: damage shows now, not in the middle of a delivery.
  Statement check = prepare(db_.get(), "PRAGMA quick_check");
  int rc = check ? sqlite3_step(check.get()) : sqlite3_errcode(db_.get());
  if (rc != SQLITE_ROW || text_column(check.get(), 0) != "ok") {
    error = rc == SQLITE_ROW ? "damaged: " + text_column(check.get(), 0) : sqlite3_errmsg(db_.get());
    damaged_ = rc == SQLITE_ROW || is_damage(sqlite3_extended_errcode(db_.get()));
    return false;
  }
  check.reset();
  Statement statement = prepare(db_.get(), "SELECT COUNT(*), COALESCE(MAX(id), 0) FROM messages");
  if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) {
    error = sqlite3_errmsg(db_.get());
    damaged_ = is_damage(sqlite3_extended_errcode(db_.get()));
    return false;
  }
  rows_ = sqlite3_column_int64(statement.get(), 0);
  last_id_ = sqlite3_column_int64(statement.get(), 1);
  statement = prepare(db_.get(), "SELECT key, value FROM meta");
  while (statement && (rc = sqlite3_step(statement.get())) == SQLITE_ROW)
    counters_[text_column(statement.get(), 0)] = sqlite3_column_int64(statement.get(), 1);
  statement = prepare(db_.get(), "SELECT id, document, present FROM sensors ORDER BY id");
  while (statement && (rc = sqlite3_step(statement.get())) == SQLITE_ROW)
    sensors_[text_column(statement.get(), 0)] = {text_column(statement.get(), 1), sqlite3_column_int(statement.get(), 2) != 0};
  if (!statement || rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_.get());
    damaged_ = is_damage(sqlite3_extended_errcode(db_.get()));
    return false;
  }
  return true;
}

std::unique_ptr<QueueFile> QueueFile::open(const std::string &path, std::string &error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::unique_ptr<sqlite3, SqliteClose> db;
    const int rc = open_database(path, db, error);
    std::unique_ptr<QueueFile> file;
    bool damaged = is_damage(rc);
    if (rc == SQLITE_OK) {
      file.reset(new QueueFile(db.release()));
      if (file->load(error)) return file;
      damaged = file->damaged_;
    }
    if (!damaged) return nullptr;
    file.reset();
    db.reset();
    std::fprintf(stderr, "mqtt_agent: the queue file %s cannot be read (%s): moved aside to %s.bad, a fresh one started\n",
                 path.c_str(), error.c_str(), path.c_str());
    move_aside(path);
  }
  return nullptr;
}

std::int64_t QueueFile::counter(const std::string &key) const {
  const auto found = counters_.find(key);
  return found != counters_.end() ? found->second : 0;
}

bool QueueFile::write(const QueueBatch &batch, std::int64_t &dropped, std::string &error) {
  sqlite3 *db = db_.get();
  dropped = 0;
  auto fail = [&] {
    error = sqlite3_errmsg(db);
    damaged_ = is_damage(sqlite3_extended_errcode(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  };
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
  std::int64_t rows = rows_, last_id = last_id_;
  if (!batch.remove.empty()) {
    Statement remove = prepare(db, "DELETE FROM messages WHERE id = ?");
    if (!remove) return fail();
    for (std::int64_t id : batch.remove) {
      sqlite3_bind_int64(remove.get(), 1, id);
      if (sqlite3_step(remove.get()) != SQLITE_DONE) return fail();
      rows -= sqlite3_changes(db);
      sqlite3_reset(remove.get());
    }
  }
  if (!batch.append.empty()) {
    Statement insert = prepare(db, "INSERT INTO messages (id, topic, payload, retain) VALUES (?, ?, ?, ?)");
    if (!insert) return fail();
    for (const QueuedMessage *message : batch.append) {
      sqlite3_bind_int64(insert.get(), 1, message->id);
      sqlite3_bind_text(insert.get(), 2, message->topic.data(), static_cast<int>(message->topic.size()), SQLITE_STATIC);
      sqlite3_bind_blob(insert.get(), 3, message->payload.data(), static_cast<int>(message->payload.size()), SQLITE_STATIC);
      sqlite3_bind_int(insert.get(), 4, message->retain ? 1 : 0);
      if (sqlite3_step(insert.get()) != SQLITE_DONE) return fail();
      sqlite3_reset(insert.get());
      ++rows;
      last_id = std::max(last_id, message->id);
    }
  }
  if (batch.keep > 0 && rows > batch.keep) {
    Statement trim = prepare(db, "DELETE FROM messages WHERE id IN (SELECT id FROM messages ORDER BY id LIMIT ?)");
    if (!trim) return fail();
    sqlite3_bind_int64(trim.get(), 1, rows - batch.keep);
    if (sqlite3_step(trim.get()) != SQLITE_DONE) return fail();
    dropped = sqlite3_changes(db);
    rows -= dropped;
  }
  if (!batch.sensors.empty()) {
    Statement save = prepare(db, "INSERT OR REPLACE INTO sensors (id, document, present) VALUES (?, ?, ?)");
    if (!save) return fail();
    for (const auto &[id, sensor] : batch.sensors) {
      sqlite3_bind_text(save.get(), 1, id.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(save.get(), 2, sensor.document.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(save.get(), 3, sensor.present ? 1 : 0);
      if (sqlite3_step(save.get()) != SQLITE_DONE) return fail();
      sqlite3_reset(save.get());
    }
  }
  if (!batch.counters.empty()) {
    Statement save = prepare(db, "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)");
    if (!save) return fail();
    for (const auto &[key, value] : batch.counters) {
      sqlite3_bind_text(save.get(), 1, key.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int64(save.get(), 2, value);
      if (sqlite3_step(save.get()) != SQLITE_DONE) return fail();
      sqlite3_reset(save.get());
    }
  }
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
  rows_ = rows;
  last_id_ = last_id;
  for (const auto &[key, value] : batch.counters) counters_[key] = value;
  return true;
}

bool QueueFile::read(std::int64_t after, std::size_t count, const std::set<std::int64_t> &skip, std::vector<QueuedMessage> &out) {
  Statement statement = prepare(db_.get(), "SELECT id, topic, payload, retain FROM messages WHERE id > ? ORDER BY id LIMIT ?");
  if (!statement) {
    damaged_ = is_damage(sqlite3_extended_errcode(db_.get()));
    return false;
  }
  sqlite3_bind_int64(statement.get(), 1, after);
  sqlite3_bind_int64(statement.get(), 2, static_cast<std::int64_t>(count + skip.size()));
  int rc = SQLITE_ROW;
  while (out.size() < count && (rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    QueuedMessage message;
    message.id = sqlite3_column_int64(statement.get(), 0);
    if (skip.count(message.id) != 0) continue;
    message.topic = text_column(statement.get(), 1);
    const void *payload = sqlite3_column_blob(statement.get(), 2);
    if (payload != nullptr)
      message.payload.assign(static_cast<const char *>(payload), static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 2)));
    message.retain = sqlite3_column_int(statement.get(), 3) != 0;
    out.push_back(std::move(message));
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    damaged_ = is_damage(sqlite3_extended_errcode(db_.get()));
    return false;
  }
  return true;
}

}  // namespace mqtt_agent
