#include <gateway_lib/alarm_flags.h>

#include <cstring>

#include "platform_store.h"
#include "sensor_id.h"

namespace {

using gwlib::sql::Statement;

// The name part of the key: the bytes before the first zero, never more than the 17 of the field.
int name_length(const channel_entry &entry) {
    const void *end = std::memchr(entry.name, '\0', sizeof entry.name);
    return end == nullptr ? static_cast<int>(sizeof entry.name)
                          : static_cast<int>(static_cast<const char *>(end) - entry.name);
}

// Binds ?1 sensor id, ?2 channel name, ?3 type code.
bool bind_key(sqlite3_stmt *stmt, const char *id, const channel_entry &entry) {
    return gwlib::sql::bind_text(stmt, 1, id) &&
           sqlite3_bind_blob(stmt, 2, entry.name, name_length(entry), SQLITE_TRANSIENT) == SQLITE_OK &&
           sqlite3_bind_int(stmt, 3, entry.type) == SQLITE_OK;
}

}  // namespace

extern "C" {

int get_error_flag(const char *sensor_id, const channel_entry *entry) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id || entry == nullptr) return 0;
    gwlib::sql::Connection db = gwlib::store::open();
    if (!db) return 0;
    Statement stmt = gwlib::sql::prepare(
        db.get(), "SELECT flag FROM alarm_flags WHERE sensor_id = ?1 AND channel_name = ?2 AND channel_type = ?3");
    if (!stmt || !bind_key(stmt.get(), id->data(), *entry)) return 0;
    return sqlite3_step(stmt.get()) == SQLITE_ROW ? sqlite3_column_int(stmt.get(), 0) : 0;
}

int set_error_flag(const char *sensor_id, const channel_entry *entry, int flag) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id || entry == nullptr) return -1;
    const bool ok = gwlib::store::in_transaction([&](sqlite3 *db) {
        // A cleared flag is the same as none: drop the row instead of keeping a zero.
        Statement stmt = gwlib::sql::prepare(
            db, flag != 0 ? "INSERT INTO alarm_flags (sensor_id, channel_name, channel_type, flag) "
                            "VALUES (?1, ?2, ?3, ?4) ON CONFLICT DO UPDATE SET flag = excluded.flag"
                          : "DELETE FROM alarm_flags WHERE sensor_id = ?1 AND channel_name = ?2 AND channel_type = ?3");
        if (!stmt || !bind_key(stmt.get(), id->data(), *entry)) return false;
        if (flag != 0 && sqlite3_bind_int(stmt.get(), 4, flag) != SQLITE_OK) return false;
        return gwlib::sql::run(stmt.get());
    });
    return ok ? 0 : -1;
}

int delete_error_flag(const char *sensor_id) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id) return -1;
    const bool ok = gwlib::store::in_transaction([&](sqlite3 *db) {
        Statement stmt = gwlib::sql::prepare(db, "DELETE FROM alarm_flags WHERE sensor_id = ?1");
        return stmt && gwlib::sql::bind_text(stmt.get(), 1, id->data()) && gwlib::sql::run(stmt.get());
    });
    return ok ? 0 : -1;
}

}  // extern "C"
