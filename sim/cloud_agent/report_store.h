// The cloud's store of the reports it received: one row per "transmit" call, in SQLite.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct StoredReport {
  std::int64_t seq_no = 0;
  std::string sensor;
  int type = -1;  // -1: the message was no report envelope
  std::string body;
  std::int64_t time = 0;
};

struct SqliteClose {
  void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using ReportStore = std::unique_ptr<sqlite3, SqliteClose>;

// Opens (creating when missing) the store at path; null with a message on stderr on failure.
ReportStore open_report_store(const char *path);
bool store_report(sqlite3 *db, const StoredReport &report);
// The sensor's last `limit` reports (of `type` when it is not negative), oldest first.
std::vector<StoredReport> sensor_reports(sqlite3 *db, const std::string &sensor, int type, int limit);
// Report counts: sensor -> type -> count.
std::map<std::string, std::map<int, std::int64_t>> report_counts(sqlite3 *db);

}  // namespace sim
