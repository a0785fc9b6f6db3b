#include "log_store.h"

#include <cstdlib>

namespace logd {

std::string format_record(const Record &r) {
  return std::to_string(r.id) + '\t' + std::to_string(r.time) + '\t' + std::to_string(r.source) + '\t' +
         std::to_string(r.priority) + '\t' + r.message + '\n';
}

bool parse_record(const std::string &line, Record &r) {
  const char *at = line.c_str();
  char *end = nullptr;
  long long fields[4];
  for (long long &field : fields) {
    field = std::strtoll(at, &end, 10);
    if (end == at || *end != '\t') return false;
    at = end + 1;
  }
  r.id = static_cast<std::uint64_t>(fields[0]);
  r.time = fields[1];
  r.source = static_cast<int>(fields[2]);
  r.priority = static_cast<int>(fields[3]);
  r.message = at;
  return true;
}

}  // namespace logd
