// RAII owners for SQLite connections and statements, and the helpers every store uses.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

namespace gwlib::sql {

// Holds off fork() while a connection is open in this process. SQLite keeps per-file state
// (lock bookkeeping, the WAL index mapping and their mutexes) shared by all connections of a
// process; a child forked while another thread has a connection open would inherit that state,
// possibly with a mutex held by a thread the child does not have, and its own connections would
// trust lock bookkeeping that is not its own. With this guard a fork waits until no connection
// is open, so the child starts with none. Connections must not be nested in one thread.
class ForkGuard {
public:
    ForkGuard();
    ~ForkGuard();
    ForkGuard(const ForkGuard &) = delete;
    ForkGuard &operator=(const ForkGuard &) = delete;
};

struct StatementFinalizer {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// One open connection; statements must be released before it.
class Connection {
public:
    Connection() = default;
    Connection(std::unique_ptr<ForkGuard> guard, sqlite3 *db) : guard_(std::move(guard)), db_(db) {}
    sqlite3 *get() const { return db_.get(); }
    explicit operator bool() const { return db_ != nullptr; }

private:
    struct Closer {
        void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
    };
    // Declared first, released last: the connection is closed before a fork may go ahead.
    std::unique_ptr<ForkGuard> guard_;
    std::unique_ptr<sqlite3, Closer> db_;
};

// Busy time-out of every connection: how long a call waits for another process's transaction.
constexpr int kBusyTimeoutMs = 5000;

// Opens (creating when missing) the database at path in WAL mode with the busy time-out, and
// brings its schema to schema_version by running schema_sql in one immediate transaction when
// the file's user_version is older. Safe when several processes do it at once. Null on failure.
// A connection is never kept beyond the call that opened it, so none crosses a fork.
Connection open_database(const char *path, const char *schema_sql, int schema_version);

// Prepared statement, or null.
Statement prepare(sqlite3 *db, const char *sql);

// Runs sql (no results) and reports success.
bool exec(sqlite3 *db, const char *sql);

// Binds text (copied) to the 1-based parameter index.
bool bind_text(sqlite3_stmt *stmt, int index, const char *text);

// Steps a statement that returns no rows; true when it completed.
bool run(sqlite3_stmt *stmt);

// Column text as a string ("" for NULL).
std::string column_text(sqlite3_stmt *stmt, int column);

}  // namespace gwlib::sql
