#include <gateway_lib/download_records.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform_store.h"
#include "sensor_id.h"

namespace {

using gwlib::sql::Statement;

// The two kinds of record share one table layout; only the table name differs. The names are
// constants of this file, never taken from a caller.
struct RecordTable {
    const char *set_sql;
    const char *get_sql;
    const char *update_sql;
    const char *delete_sql;
    const char *list_sql;
};

constexpr RecordTable kOad{
    "INSERT INTO oad_records (sensor_id, file, status, progress) VALUES (?1, ?2, ?3, ?4) "
    "ON CONFLICT (sensor_id) DO UPDATE SET file = excluded.file, status = excluded.status, "
    "progress = excluded.progress",
    "SELECT sensor_id, file, status, progress FROM oad_records WHERE sensor_id = ?1",
    "UPDATE oad_records SET status = ?2 WHERE sensor_id = ?1",
    "DELETE FROM oad_records WHERE sensor_id = ?1",
    "SELECT sensor_id, file, status, progress FROM oad_records ORDER BY rowid",
};

constexpr RecordTable kUpgrade{
    "INSERT INTO upgrade_records (sensor_id, file, status, progress) VALUES (?1, ?2, ?3, ?4) "
    "ON CONFLICT (sensor_id) DO UPDATE SET file = excluded.file, status = excluded.status, "
    "progress = excluded.progress",
    "SELECT sensor_id, file, status, progress FROM upgrade_records WHERE sensor_id = ?1",
    "UPDATE upgrade_records SET status = ?2 WHERE sensor_id = ?1",
    "DELETE FROM upgrade_records WHERE sensor_id = ?1",
    "SELECT sensor_id, file, status, progress FROM upgrade_records ORDER BY rowid",
};

// One record as read from a row, strings owned here until handed out.
struct RecordRow {
    std::string sensor;
    std::string file;
    int status = 0;
    int progress = 0;
};

RecordRow read_row(sqlite3_stmt *stmt) {
    return RecordRow{gwlib::sql::column_text(stmt, 0), gwlib::sql::column_text(stmt, 1),
                     sqlite3_column_int(stmt, 2), sqlite3_column_int(stmt, 3)};
}

char *copy_string(const std::string &text) {
    auto *out = static_cast<char *>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

// Fills a record's fields from a row; false (nothing allocated) when memory runs out.
template <typename Record>
bool fill_record(const RecordRow &row, Record &record) {
    char *sensor = copy_string(row.sensor);
    char *file = copy_string(row.file);
    if (sensor == nullptr || file == nullptr) {
        std::free(sensor);
        std::free(file);
        return false;
    }
    record.sensor = sensor;
    record.file = file;
    record.status = row.status;
    record.progress = row.progress;
    return true;
}

int set_record(const RecordTable &table, const char *sensor_id, const char *file, int status, int progress) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id || file == nullptr) return -1;
    const bool ok = gwlib::store::in_transaction([&](sqlite3 *db) {
        Statement stmt = gwlib::sql::prepare(db, table.set_sql);
        return stmt && gwlib::sql::bind_text(stmt.get(), 1, id->data()) &&
               gwlib::sql::bind_text(stmt.get(), 2, file) && sqlite3_bind_int(stmt.get(), 3, status) == SQLITE_OK &&
               sqlite3_bind_int(stmt.get(), 4, progress) == SQLITE_OK && gwlib::sql::run(stmt.get());
    });
    return ok ? 0 : -1;
}

template <typename Record>
int get_record(const RecordTable &table, const char *sensor_id, Record *record) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id || record == nullptr) return 0;
    gwlib::sql::Connection db = gwlib::store::open();
    if (!db) return 0;
    Statement stmt = gwlib::sql::prepare(db.get(), table.get_sql);
    if (!stmt || !gwlib::sql::bind_text(stmt.get(), 1, id->data())) return 0;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
    return fill_record(read_row(stmt.get()), *record) ? 1 : 0;
}

int update_status(const RecordTable &table, const char *sensor_id, int status) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id) return -1;
    const bool ok = gwlib::store::in_transaction([&](sqlite3 *db) {
        Statement stmt = gwlib::sql::prepare(db, table.update_sql);
        return stmt && gwlib::sql::bind_text(stmt.get(), 1, id->data()) &&
               sqlite3_bind_int(stmt.get(), 2, status) == SQLITE_OK && gwlib::sql::run(stmt.get()) &&
               sqlite3_changes(db) == 1;  // no record: nothing to update, reported as a failure
    });
    return ok ? 0 : -1;
}

int delete_record(const RecordTable &table, const char *sensor_id) {
    const auto id = gwlib::sensor_id::normalised(sensor_id);
    if (!id) return -1;
    const bool ok = gwlib::store::in_transaction([&](sqlite3 *db) {
        Statement stmt = gwlib::sql::prepare(db, table.delete_sql);
        return stmt && gwlib::sql::bind_text(stmt.get(), 1, id->data()) && gwlib::sql::run(stmt.get());
    });
    return ok ? 0 : -1;
}

template <typename Record>
void free_strings(Record *record) {
    if (record == nullptr) return;
    std::free(record->sensor);
    std::free(record->file);
    record->sensor = nullptr;
    record->file = nullptr;
}

}  // namespace

extern "C" {

int set_oad_sensor(const char *sensor_id, const char *file, int status, int progress) {
    return set_record(kOad, sensor_id, file, status, progress);
}

int get_oad_sensor(const char *sensor_id, oad_obj *record) { return get_record(kOad, sensor_id, record); }

int update_oad_status(const char *sensor_id, int status) { return update_status(kOad, sensor_id, status); }

int delete_oad_sensor(const char *sensor_id) { return delete_record(kOad, sensor_id); }

int get_oad_list(oad_obj **list) {
    if (list == nullptr) return -1;
    *list = nullptr;
    gwlib::sql::Connection db = gwlib::store::open();
    if (!db) return -1;
    // Read the whole list in one statement: one consistent snapshot.
    Statement stmt = gwlib::sql::prepare(db.get(), kOad.list_sql);
    if (!stmt) return -1;
    std::vector<RecordRow> rows;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) rows.push_back(read_row(stmt.get()));
    if (rc != SQLITE_DONE) return -1;
    if (rows.empty()) return 0;
    auto *out = static_cast<oad_obj *>(std::calloc(rows.size(), sizeof(oad_obj)));
    if (out == nullptr) return -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!fill_record(rows[i], out[i])) {
            free_oad_obj(&out, static_cast<int>(i));
            return -1;
        }
    }
    *list = out;
    return static_cast<int>(rows.size());
}

void free_oad_obj(oad_obj **list, int count) {
    if (list == nullptr || *list == nullptr) return;
    for (int i = 0; i < count; ++i) free_strings(&(*list)[i]);
    std::free(*list);
    *list = nullptr;
}

void free_single_oad_obj(oad_obj *record) { free_strings(record); }

int set_upgrade_sensor(const char *sensor_id, const char *file, int status, int progress) {
    return set_record(kUpgrade, sensor_id, file, status, progress);
}

int get_upgrade_sensor(const char *sensor_id, upgrade_obj *record) { return get_record(kUpgrade, sensor_id, record); }

int update_upgrade_status(const char *sensor_id, int status) { return update_status(kUpgrade, sensor_id, status); }

int delete_upgrade_sensor(const char *sensor_id) { return delete_record(kUpgrade, sensor_id); }

void free_single_upgrade_obj(upgrade_obj *record) { free_strings(record); }

}  // extern "C"
