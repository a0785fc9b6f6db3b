#include <gateway_lib/sensor_registry.h>

#include <ctime>

#include "platform_store.h"
#include "sensor_id.h"

namespace {

using gwlib::sql::Statement;

// Runs one change of the sensor's row in its own transaction; the statement takes ?1 id and,
// when it has a second parameter, ?2 value.
int store_sensor_value(const char *sensor_id, const char *sql, long long value) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id) return -1;
    const bool ok = gwlib::store::in_transaction([&](sqlite3 *db) {
        Statement stmt = gwlib::sql::prepare(db, sql);
        if (!stmt || !gwlib::sql::bind_text(stmt.get(), 1, id->data())) return false;
        if (sqlite3_bind_parameter_count(stmt.get()) >= 2 && sqlite3_bind_int64(stmt.get(), 2, value) != SQLITE_OK) {
            return false;
        }
        return gwlib::sql::run(stmt.get());
    });
    return ok ? 0 : -1;
}

// Reads one integer column of the sensor's row: fallback when there is no row, error_value on a
// bad id or failure.
long long read_sensor_value(const char *sensor_id, const char *sql, long long fallback, long long error_value) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id) return error_value;
    gwlib::sql::Connection db = gwlib::store::open();
    if (!db) return error_value;
    Statement stmt = gwlib::sql::prepare(db.get(), sql);
    if (!stmt || !gwlib::sql::bind_text(stmt.get(), 1, id->data())) return error_value;
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) return sqlite3_column_int64(stmt.get(), 0);
    return rc == SQLITE_DONE ? fallback : error_value;
}

}  // namespace

extern "C" {

int is_sensor_registered(const char *sensor_id) {
    return read_sensor_value(sensor_id, "SELECT registered FROM sensors WHERE sensor_id = ?1", 0, 0) != 0 ? 1 : 0;
}

int update_sensor_active_time(char **sensor_id) {
    if (sensor_id == nullptr) return -1;
    return store_sensor_value(*sensor_id,
                              "INSERT INTO sensors (sensor_id, active_time) VALUES (?1, ?2) "
                              "ON CONFLICT (sensor_id) DO UPDATE SET active_time = excluded.active_time",
                              static_cast<long long>(std::time(nullptr)));
}

int get_deadband_threshold(const char *sensor_id) {
    return static_cast<int>(read_sensor_value(sensor_id, "SELECT deadband FROM sensors WHERE sensor_id = ?1", 0, 0));
}

int register_sensor(const char *sensor_id) {
    return store_sensor_value(sensor_id,
                              "INSERT INTO sensors (sensor_id, registered) VALUES (?1, ?2) "
                              "ON CONFLICT (sensor_id) DO UPDATE SET registered = excluded.registered",
                              1);
}

int unregister_sensor(const char *sensor_id) {
    return store_sensor_value(sensor_id, "DELETE FROM sensors WHERE sensor_id = ?1", 0);
}

int set_deadband_threshold(const char *sensor_id, int value) {
    return store_sensor_value(sensor_id,
                              "INSERT INTO sensors (sensor_id, deadband) VALUES (?1, ?2) "
                              "ON CONFLICT (sensor_id) DO UPDATE SET deadband = excluded.deadband",
                              value);
}

long long get_sensor_active_time(const char *sensor_id) {
    return read_sensor_value(sensor_id, "SELECT active_time FROM sensors WHERE sensor_id = ?1", 0, -1);
}

}  // extern "C"
