#include "platform_store.h"

namespace gwlib::store {
namespace {

constexpr int kSchemaVersion = 1;

constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS sensors (
    sensor_id   TEXT PRIMARY KEY NOT NULL,
    registered  INTEGER NOT NULL DEFAULT 0,
    active_time INTEGER NOT NULL DEFAULT 0,
    deadband    INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS alarm_flags (
    sensor_id    TEXT NOT NULL,
    channel_name BLOB NOT NULL,
    channel_type INTEGER NOT NULL,
    flag         INTEGER NOT NULL,
    PRIMARY KEY (sensor_id, channel_name, channel_type)
);
CREATE TABLE IF NOT EXISTS oad_records (
    sensor_id TEXT PRIMARY KEY NOT NULL,
    file      TEXT NOT NULL,
    status    INTEGER NOT NULL,
    progress  INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS upgrade_records (
    sensor_id TEXT PRIMARY KEY NOT NULL,
    file      TEXT NOT NULL,
    status    INTEGER NOT NULL,
    progress  INTEGER NOT NULL
);
)sql";

}  // namespace

sql::Connection open() { return sql::open_database(kPath, kSchema, kSchemaVersion); }

}  // namespace gwlib::store
