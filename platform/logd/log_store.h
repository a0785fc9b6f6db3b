// The log as the stand-in log daemon keeps it for logread: one record a line in a file,
//   <id> TAB <unix time> TAB <source> TAB <priority> TAB <message>
// ids counting up from 1; the file holds at most the log's size (older records are dropped, as
// from the router's ring) and is replaced whole when it is cut, never rewritten in place.
#pragma once

#include <cstdint>
#include <string>

namespace logd {

inline constexpr const char *kLogFile = "/var/run/logd/log";

enum Source { kKernel = 0, kSyslog = 1 };

struct Record {
  std::uint64_t id = 0;
  long long time = 0;
  int source = kSyslog;
  int priority = 0;  // facility and level, as syslog's <N>
  std::string message;
};

std::string format_record(const Record &record);
// False for a line that is not a record.
bool parse_record(const std::string &line, Record &record);

}  // namespace logd
