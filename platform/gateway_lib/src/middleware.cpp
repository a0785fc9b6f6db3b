#include <gateway_lib/middleware.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "sensor_id.h"
#include "sqlite_handle.h"

namespace {

using gwlib::sql::Statement;

constexpr int kSchemaVersion = 1;
constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS SensorMeasurement (
    SensorID     TEXT NOT NULL,
    ChannelIndex INTEGER NOT NULL,
    Channel      TEXT NOT NULL,
    Type         TEXT NOT NULL,
    Unit         TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS SensorMeasurementBySensor ON SensorMeasurement (SensorID, ChannelIndex);
)sql";

// The tables a query may name, with their columns. Only these constant texts ever reach SQL.
struct KnownTable {
    const char *name;
    std::vector<const char *> columns;
};

const std::vector<KnownTable> &known_tables() {
    static const std::vector<KnownTable> tables{
        {"SensorMeasurement", {"SensorID", "ChannelIndex", "Channel", "Type", "Unit"}},
    };
    return tables;
}

const KnownTable *find_table(const char *name) {
    if (name == nullptr) return nullptr;
    for (const auto &table : known_tables()) {
        if (std::strcmp(table.name, name) == 0) return &table;
    }
    return nullptr;
}

const char *find_column(const KnownTable &table, const char *name) {
    if (name == nullptr) return nullptr;
    for (const char *column : table.columns) {
        if (std::strcmp(column, name) == 0) return column;
    }
    return nullptr;
}

// What a handle holds: where the store is. No connection is kept, so a handle survives forks.
struct Store {
    std::string path;
};

gwlib::sql::Connection open_store(const char *path) { return gwlib::sql::open_database(path, kSchema, kSchemaVersion); }

char *copy_text(std::string_view text) {
    auto *out = static_cast<char *>(std::malloc(text.size() + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

// Rows collected as C++ strings first, then handed out as one C structure.
using Rows = std::vector<std::vector<std::string>>;

bool hand_out(const KnownTable &table, const Rows &rows, middleware_entry *result) {
    const auto columns = table.columns.size();
    auto *out_rows = static_cast<middleware_row *>(std::calloc(rows.size() == 0 ? 1 : rows.size(), sizeof(middleware_row)));
    if (out_rows == nullptr) return false;
    middleware_entry built{static_cast<int32_t>(rows.size()), static_cast<int32_t>(columns), out_rows};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        auto *cells = static_cast<middleware_column *>(std::calloc(columns, sizeof(middleware_column)));
        if (cells == nullptr) {
            built.row_count = static_cast<int32_t>(r);
            free_middleware_entry(&built);
            return false;
        }
        out_rows[r] = middleware_row{cells, static_cast<int32_t>(columns)};
        for (std::size_t c = 0; c < columns; ++c) {
            cells[c].name = copy_text(table.columns[c]);
            cells[c].value = copy_text(rows[r][c]);
            if (cells[c].name == nullptr || cells[c].value == nullptr) {
                built.row_count = static_cast<int32_t>(r + 1);
                free_middleware_entry(&built);
                return false;
            }
        }
    }
    *result = built;
    return true;
}

int query_store(void *db, const char *table_name, const data_entry *where, int mode, middleware_entry *result) {
    if (result == nullptr) return -1;
    *result = middleware_entry{};
    const auto *store = static_cast<const Store *>(db);
    const KnownTable *table = find_table(table_name);
    if (store == nullptr || table == nullptr || mode != 1) return -1;

    std::string sql = "SELECT ";
    for (std::size_t c = 0; c < table->columns.size(); ++c) sql += (c == 0 ? "" : ", ") + std::string(table->columns[c]);
    sql += std::string(" FROM ") + table->name;
    const int conditions = where == nullptr ? 0 : where->count;
    if (conditions < 0 || (conditions > 0 && where->fields == nullptr)) return -1;
    for (int i = 0; i < conditions; ++i) {
        const char *column = find_column(*table, where->fields[i].column);
        if (column == nullptr || where->fields[i].value == nullptr) return -1;
        sql += (i == 0 ? " WHERE " : " AND ") + std::string(column) + " = ?" + std::to_string(i + 1);
    }
    sql += " ORDER BY rowid";

    gwlib::sql::Connection conn = open_store(store->path.c_str());
    if (!conn) return -1;
    Statement stmt = gwlib::sql::prepare(conn.get(), sql.c_str());
    if (!stmt) return -1;
    for (int i = 0; i < conditions; ++i) {
        if (!gwlib::sql::bind_text(stmt.get(), i + 1, where->fields[i].value)) return -1;
    }
    Rows rows;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (std::size_t c = 0; c < table->columns.size(); ++c) row.push_back(gwlib::sql::column_text(stmt.get(), static_cast<int>(c)));
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return -1;
    return hand_out(*table, rows, result) ? 0 : -1;
}

}  // namespace

extern "C" {

int init_data_entry(data_entry *entry, const char *column, const char *value, int type) {
    if (entry == nullptr || column == nullptr || value == nullptr || type != MIDDLEWARE_TYPE_TEXT || entry->count < 0) {
        return 0;
    }
    const auto count = static_cast<std::size_t>(entry->count);
    data_field field{copy_text(column), copy_text(value), type};
    auto *grown = field.column != nullptr && field.value != nullptr
                      ? static_cast<data_field *>(std::realloc(entry->fields, (count + 1) * sizeof(data_field)))
                      : nullptr;
    if (grown == nullptr) {
        std::free(field.column);
        std::free(field.value);
        return 0;
    }
    grown[count] = field;
    entry->fields = grown;
    entry->count = static_cast<int32_t>(count + 1);
    return 1;
}

void free_data_entry(data_entry *entry) {
    if (entry == nullptr) return;
    for (int32_t i = 0; entry->fields != nullptr && i < entry->count; ++i) {
        std::free(entry->fields[i].column);
        std::free(entry->fields[i].value);
    }
    std::free(entry->fields);
    *entry = data_entry{};
}

int create_middleware_obj(middleware_obj *obj, const char *path) {
    if (obj == nullptr) return -1;
    *obj = middleware_obj{};
    if (path == nullptr || path[0] == '\0') return -1;
    // Open once now so that a missing store is created and a broken one is reported here.
    if (!open_store(path)) return -1;
    auto *store = new (std::nothrow) Store;
    if (store == nullptr) return -1;
    try {
        store->path = path;
    } catch (const std::bad_alloc &) {
        delete store;
        return -1;
    }
    obj->db = store;
    obj->query = query_store;
    return 0;
}

void free_middleware_entry(middleware_entry *result) {
    if (result == nullptr) return;
    for (int32_t r = 0; result->rows != nullptr && r < result->row_count; ++r) {
        middleware_row &row = result->rows[r];
        for (int32_t c = 0; row.columns != nullptr && c < row.count; ++c) {
            std::free(row.columns[c].name);
            std::free(row.columns[c].value);
        }
        std::free(row.columns);
    }
    std::free(result->rows);
    *result = middleware_entry{};
}

void destory_middleware_obj(middleware_obj *obj) {
    if (obj == nullptr) return;
    delete static_cast<Store *>(obj->db);
    *obj = middleware_obj{};
}

int middleware_add_channel(const char *path, const char *sensor_id, const char *channel, const char *type,
                           const char *unit) {
    if (path == nullptr || !gwlib::sensor_id::is_valid(sensor_id) || channel == nullptr || type == nullptr ||
        unit == nullptr) {
        return -1;
    }
    gwlib::sql::Connection db = open_store(path);
    if (!db || !gwlib::sql::exec(db.get(), "BEGIN IMMEDIATE")) return -1;
    Statement stmt = gwlib::sql::prepare(
        db.get(),
        "INSERT INTO SensorMeasurement (SensorID, ChannelIndex, Channel, Type, Unit) "
        "SELECT ?1, COUNT(*), ?2, ?3, ?4 FROM SensorMeasurement WHERE SensorID = ?1");
    const bool ok = stmt && gwlib::sql::bind_text(stmt.get(), 1, sensor_id) && gwlib::sql::bind_text(stmt.get(), 2, channel) &&
                    gwlib::sql::bind_text(stmt.get(), 3, type) && gwlib::sql::bind_text(stmt.get(), 4, unit) &&
                    gwlib::sql::run(stmt.get());
    stmt.reset();
    if (ok && gwlib::sql::exec(db.get(), "COMMIT")) return 0;
    gwlib::sql::exec(db.get(), "ROLLBACK");
    return -1;
}

int middleware_clear_sensor(const char *path, const char *sensor_id) {
    if (path == nullptr || !gwlib::sensor_id::is_valid(sensor_id)) return -1;
    gwlib::sql::Connection db = open_store(path);
    if (!db) return -1;
    Statement stmt = gwlib::sql::prepare(db.get(), "DELETE FROM SensorMeasurement WHERE SensorID = ?1");
    return stmt && gwlib::sql::bind_text(stmt.get(), 1, sensor_id) && gwlib::sql::run(stmt.get()) ? 0 : -1;
}

}  // extern "C"
