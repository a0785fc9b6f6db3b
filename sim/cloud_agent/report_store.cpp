#include "report_store.h"

#include <cstdio>

namespace sim {

namespace {

struct StatementFinalize {
  void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

Statement prepare(sqlite3 *db, const char *sql) {
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "cloud_agent: %s\n", sqlite3_errmsg(db));
    return nullptr;
  }
  return Statement(statement);
}

std::string column_text(sqlite3_stmt *statement, int column) {
  const unsigned char *text = sqlite3_column_text(statement, column);
  return text != nullptr ? reinterpret_cast<const char *>(text) : "";
}

}  // namespace

ReportStore open_report_store(const char *path) {
  sqlite3 *raw = nullptr;
  const int rc = sqlite3_open(path, &raw);
  ReportStore db(raw);
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "cloud_agent: cannot open %s: %s\n", path, raw != nullptr ? sqlite3_errmsg(raw) : "no memory");
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), 2000);
  const char *schema =
      "CREATE TABLE IF NOT EXISTS reports (seq_no INTEGER PRIMARY KEY, sensor TEXT NOT NULL, type INTEGER NOT NULL,"
      " body TEXT NOT NULL, time INTEGER NOT NULL);"
      "CREATE INDEX IF NOT EXISTS reports_by_sensor ON reports (sensor, type);";
  if (sqlite3_exec(db.get(), schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "cloud_agent: cannot create the report table: %s\n", sqlite3_errmsg(db.get()));
    return nullptr;
  }
  return db;
}

bool store_report(sqlite3 *db, const StoredReport &report) {
  Statement statement = prepare(db, "INSERT INTO reports (seq_no, sensor, type, body, time) VALUES (?1, ?2, ?3, ?4, ?5)");
  if (!statement) return false;
  sqlite3_bind_int64(statement.get(), 1, report.seq_no);
  sqlite3_bind_text(statement.get(), 2, report.sensor.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(statement.get(), 3, report.type);
  sqlite3_bind_text(statement.get(), 4, report.body.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(statement.get(), 5, report.time);
  return sqlite3_step(statement.get()) == SQLITE_DONE;
}

std::vector<StoredReport> sensor_reports(sqlite3 *db, const std::string &sensor, int type, int limit) {
  std::vector<StoredReport> reports;
  Statement statement = prepare(db,
                                "SELECT seq_no, sensor, type, body, time FROM (SELECT * FROM reports WHERE sensor = ?1"
                                " AND (?2 < 0 OR type = ?2) ORDER BY seq_no DESC LIMIT ?3) ORDER BY seq_no");
  if (!statement) return reports;
  sqlite3_bind_text(statement.get(), 1, sensor.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(statement.get(), 2, type);
  sqlite3_bind_int(statement.get(), 3, limit);
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    reports.push_back(StoredReport{sqlite3_column_int64(statement.get(), 0), column_text(statement.get(), 1),
                                   sqlite3_column_int(statement.get(), 2), column_text(statement.get(), 3),
                                   sqlite3_column_int64(statement.get(), 4)});
  }
  return reports;
}

std::map<std::string, std::map<int, std::int64_t>> report_counts(sqlite3 *db) {
  std::map<std::string, std::map<int, std::int64_t>> counts;
  Statement statement = prepare(db, "SELECT sensor, type, COUNT(*) FROM reports GROUP BY sensor, type");
  if (!statement) return counts;
  while (sqlite3_step(statement.get()) == SQLITE_ROW)
    counts[column_text(statement.get(), 0)][sqlite3_column_int(statement.get(), 1)] = sqlite3_column_int64(statement.get(), 2);
  return counts;
}

}  // namespace sim
