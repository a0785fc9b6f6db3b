#include "core/log_line.h"

#include <sys/sysinfo.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace vorn::core {

namespace {

void write_log_line(std::FILE *stream, const char *format, va_list args) {
  flockfile(stream);
  std::fprintf(stream, "[%s] %ld: ", timestamp_text(), uptime_seconds());
  std::vfprintf(stream, format, args);
  funlockfile(stream);
}

}  // namespace

const char *timestamp_text() {
  thread_local char buffer[kTimestampBufferSize];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::memset(buffer, 0, sizeof buffer);
  std::strftime(buffer, 26, "%Y-%m-%d %H:%M:%S", &local);
  return buffer;
}

long uptime_seconds() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return 0;
  return info.uptime;
}

void log_line(const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_log_line(stdout, format, args);
  va_end(args);
}

void log_line_to(std::FILE *stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_log_line(stream, format, args);
  va_end(args);
}

}  // namespace vorn::core
