#include "devices/sensorlist_store.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/common.h"
#include "core/process_fork.h"

namespace vorn::devices {

ReadPipe open_read_pipe(const char *command) {
  std::fflush(stdout);
  const core::PipeOpening opening;  // no fork of another thread copies the pipe's write end
  return ReadPipe(popen(command, "r"));
}

bool read_pipe_line(FILE *pipe, char *line, std::size_t size) {
  if (size == 0) return false;
  std::size_t length = 0;
  // Character by character: a line-wise read that fails midway leaves the part it read undefined.
  while (length + 1 < size) {
    const int c = std::getc(pipe);
    if (c == EOF) {
      if (std::ferror(pipe) && errno == EINTR) {
        std::clearerr(pipe);
        continue;
      }
      break;
    }
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  return length > 0;
}

namespace {

LineRead vread_line(char *line, std::size_t size, const char *format, va_list args) {
  std::memset(line, 0, size);
  char command[256];
  int length = std::vsnprintf(command, sizeof command, format, args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) return LineRead::kNotRun;
  ReadPipe pipe = open_read_pipe(command);
  if (!pipe) return LineRead::kNotRun;
  if (!read_pipe_line(pipe.get(), line, size)) return LineRead::kNoLine;
  return LineRead::kLine;
}

}  // namespace

LineRead read_line(char *line, std::size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  LineRead result = vread_line(line, size, format, args);
  va_end(args);
  return result;
}

bool read_first_line(char *line, std::size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  LineRead result = vread_line(line, size, format, args);
  va_end(args);
  return result == LineRead::kLine;
}

int read_int_value(const char *format, ...) {
  char line[128];
  va_list args;
  va_start(args, format);
  LineRead result = vread_line(line, sizeof line, format, args);
  va_end(args);
  return result == LineRead::kLine ? std::atoi(line) : 0;
}

int read_event_interval_wanted(const char *ext_address_text) {
  return read_int_value("uci -q get sensorlist.@%s[].EventIntervalUserWanted", ext_address_text);
}

void commit_sensorlist() { core::_system("%s", kCommitSensorlist); }

}  // namespace vorn::devices
