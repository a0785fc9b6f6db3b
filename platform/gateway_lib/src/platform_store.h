// The platform database shared by the sensor registry, the alarm flags and the download records.
#pragma once

#include "sqlite_handle.h"

namespace gwlib::store {

constexpr const char *kPath = "/etc/config/gateway_platform.sqlite";

// A fresh connection to the platform database with its schema in place; null on failure.
sql::Connection open();

// Runs fn(db) inside one immediate transaction and commits when fn returns true.
// True when fn succeeded and the transaction committed.
template <typename Fn>
bool in_transaction(Fn &&fn) {
    sql::Connection db = open();
    if (!db || !sql::exec(db.get(), "BEGIN IMMEDIATE")) return false;
    if (fn(db.get()) && sql::exec(db.get(), "COMMIT")) return true;
    sql::exec(db.get(), "ROLLBACK");
    return false;
}

}  // namespace gwlib::store
