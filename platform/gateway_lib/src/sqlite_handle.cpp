#include "sqlite_handle.h"

#include <pthread.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace gwlib::sql {
namespace {

// Shared by every open connection, taken exclusively around fork(). Writers are preferred so a
// fork is not starved by threads that keep opening connections.
pthread_rwlock_t g_fork_lock;

void init_fork_lock() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&g_fork_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

void lock_for_fork() { pthread_rwlock_wrlock(&g_fork_lock); }
void unlock_in_parent() { pthread_rwlock_unlock(&g_fork_lock); }
// The child is not the thread that took the lock (its thread id differs, and the lock checks
// it), and it has no other threads: it starts over with a fresh, unlocked lock.
void reset_in_child() { init_fork_lock(); }

void install_fork_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        init_fork_lock();
        pthread_atfork(lock_for_fork, unlock_in_parent, reset_in_child);
    });
}

// Some steps (switching to WAL while another process creates the same file) can report busy
// without waiting on the busy handler; retry them for up to the busy time-out.
bool exec_with_retry(sqlite3 *db, const char *sql) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return true;
        if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int user_version(sqlite3 *db) {
    Statement stmt = prepare(db, "PRAGMA user_version");
    if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return -1;
    return sqlite3_column_int(stmt.get(), 0);
}

bool bring_schema_up(sqlite3 *db, const char *schema_sql, int schema_version) {
    if (!exec_with_retry(db, "PRAGMA journal_mode=WAL")) return false;
    if (!exec_with_retry(db, "BEGIN IMMEDIATE")) return false;
    // Another process may have created the schema while this one waited for the lock.
    const int found = user_version(db);
    std::string sql = schema_sql;
    sql += "PRAGMA user_version=" + std::to_string(schema_version) + ";";
    if (found >= 0 && (found >= schema_version || exec(db, sql.c_str())) && exec_with_retry(db, "COMMIT")) {
        return true;
    }
    exec(db, "ROLLBACK");
    return false;
}

}  // namespace

ForkGuard::ForkGuard() {
    install_fork_handlers();
    pthread_rwlock_rdlock(&g_fork_lock);
}

ForkGuard::~ForkGuard() { pthread_rwlock_unlock(&g_fork_lock); }

Connection open_database(const char *path, const char *schema_sql, int schema_version) {
    auto guard = std::make_unique<ForkGuard>();
    sqlite3 *raw = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path, &raw, flags, nullptr);
    Connection db(std::move(guard), raw);  // owns the handle even when the open failed
    if (rc != SQLITE_OK) return Connection();
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // Connections live for one call. The last one to close checkpoints the WAL; keeping the
    // file (emptied) instead of deleting it saves creating it again at the next call.
    int persist = 1;
    sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    sql::exec(db.get(), "PRAGMA journal_size_limit=0");
    sqlite3_extended_result_codes(db.get(), 1);
    const int found = user_version(db.get());
    if (found < 0) return Connection();
    if (found < schema_version && !bring_schema_up(db.get(), schema_sql, schema_version)) return Connection();
    return db;
}

Statement prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    return Statement(raw);
}

bool exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool bind_text(sqlite3_stmt *stmt, int index, const char *text) {
    return sqlite3_bind_text(stmt, index, text, -1, SQLITE_TRANSIENT) == SQLITE_OK;
}

bool run(sqlite3_stmt *stmt) { return sqlite3_step(stmt) == SQLITE_DONE; }

std::string column_text(sqlite3_stmt *stmt, int column) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    if (text == nullptr) return {};
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

}  // namespace gwlib::sql
