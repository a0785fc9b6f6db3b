// logread (stand-in): prints the router's log as the router's logread does, one line a message:
//   <ctime> <facility>.<level>[ kernel:] <message>
//   logread [-l COUNT] [-e PATTERN] [-f] [-z FACILITY] [-Z FACILITY]
// -l: only the last COUNT messages (counted before -e); -e: only messages matching the basic
// regular expression PATTERN; -f: then follow new messages; -z/-Z: only / not the facility (0-23).
#include <cstddef>  // syslog.h's name tables use NULL
#define SYSLOG_NAMES
#include <regex.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "log_store.h"

namespace {

const char *code_name(int value, const CODE *table) {
  for (const CODE *code = table; code->c_val != -1; ++code)
    if (code->c_val == value) return code->c_name;
  return "<unknown>";
}

struct Filter {
  Filter() = default;
  Filter(const Filter &) = delete;
  Filter &operator=(const Filter &) = delete;
  ~Filter() {
    if (has_pattern) regfree(&pattern);
  }
  regex_t pattern{};
  bool has_pattern = false;
  unsigned include = 0, exclude = 0;

  bool wants(const logd::Record &r) const {
    const int facility = LOG_FAC(r.priority);
    if (include != 0 && !(include & (1u << facility))) return false;
    if (include == 0 && exclude != 0 && (exclude & (1u << facility))) return false;
    return !has_pattern || regexec(&pattern, r.message.c_str(), 0, nullptr, 0) == 0;
  }
};

void print(const logd::Record &r) {
  const std::time_t time = static_cast<std::time_t>(r.time);
  char when[32];
  std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", std::localtime(&time));
  std::printf("%s %s.%s%s %s\n", when, code_name(LOG_FAC(r.priority) << 3, facilitynames),
              code_name(LOG_PRI(r.priority), prioritynames), r.source == logd::kKernel ? " kernel:" : "",
              r.message.c_str());
}

std::vector<logd::Record> read_all() {
  std::vector<logd::Record> records;
  std::ifstream file(logd::kLogFile);
  logd::Record record;
  for (std::string line; std::getline(file, line);)
    if (logd::parse_record(line, record)) records.push_back(record);
  return records;
}

}  // namespace

int main(int argc, char **argv) {
  Filter filter;
  long lines = 0;
  bool follow = false;
  for (int option; (option = getopt(argc, argv, "u0fcs:l:z:Z:r:F:p:S:P:h:e:t")) != -1;) {
    switch (option) {
      case 'l': lines = std::atol(optarg); break;
      case 'f': follow = true; break;
      case 'e':
        if (filter.has_pattern) regfree(&filter.pattern);
        filter.has_pattern = regcomp(&filter.pattern, optarg, REG_NOSUB) == 0;
        break;
      case 'z': filter.include |= 1u << (std::strtoul(optarg, nullptr, 0) & 0x1f); break;
      case 'Z': filter.exclude |= 1u << (std::strtoul(optarg, nullptr, 0) & 0x1f); break;
      case '?':
        std::fprintf(stderr, "Usage: %s [-l <count>] [-e <pattern>] [-f] [-z|-Z <facility>]\n", argv[0]);
        return 1;
      default: break;  // remote and file output of the router's logread: not here
    }
  }
  struct stat log_file {};
  if (stat(logd::kLogFile, &log_file) != 0) {
    std::fprintf(stderr, "Failed to find log object: Not found\n");
    return 1;
  }
  std::vector<logd::Record> records = read_all();
  std::size_t first = lines > 0 && records.size() > static_cast<std::size_t>(lines) ? records.size() - lines : 0;
  std::uint64_t last = 0;
  for (std::size_t i = first; i < records.size(); ++i)
    if (filter.wants(records[i])) print(records[i]);
  if (!records.empty()) last = records.back().id;
  std::fflush(stdout);
  // Following: new lines are read from where the last look ended; a file the daemon replaced
  // (cut to its size) is read again from its start, skipping what was printed.
  std::ifstream file;
  ino_t inode = 0;
  std::string partial;
  while (follow) {
    struct stat now {};
    if (stat(logd::kLogFile, &now) == 0 && (!file.is_open() || now.st_ino != inode)) {
      file.close();
      file.clear();
      file.open(logd::kLogFile);
      inode = now.st_ino;
      partial.clear();
    }
    while (file.is_open()) {
      char buffer[4096];
      file.read(buffer, sizeof buffer);
      const std::streamsize got = file.gcount();
      if (got > 0) partial.append(buffer, static_cast<std::size_t>(got));
      if (got < static_cast<std::streamsize>(sizeof buffer)) break;
    }
    file.clear();
    std::size_t start = 0;
    for (std::size_t newline; (newline = partial.find('\n', start)) != std::string::npos; start = newline + 1) {
      logd::Record record;
      if (!logd::parse_record(partial.substr(start, newline - start), record) || record.id <= last) continue;
      last = record.id;
      if (filter.wants(record)) print(record);
    }
    partial.erase(0, start);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) break;
    usleep(200 * 1000);
  }
  return 0;
}
