#include "devices/sensorlist_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ext_address.h"
#include "core/log_line.h"
#include "core/process_fork.h"
#include "core/sensorlist_lock.h"
#include "core/shell_command.h"
#include "shared/status_counters.h"

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
  return get_int_value("sensorlist.@%s[].EventIntervalUserWanted", ext_address_text);
}

namespace {

// One version of a file: a write through a new file and a rename (as a commit installs the
// configuration) gives another inode; one in place another size or time.
struct FileVersion {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
};

FileVersion file_version(const char *path) {
  struct stat info {};
  if (stat(path, &info) != 0) return {};
  return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

bool same_version(const FileVersion &a, const FileVersion &b) {
  return a.present == b.present && a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

}  // namespace

// A write of a sequence whose wait for uci's lock ran out is left out: uci would wait on.
void add_sensor_section(const char *ext_address_text) {
  if (!core::uci_lock_stayed_taken()) core::_system_quiet("uci -q add sensorlist %s", ext_address_text);
}

void delete_sensor_section(const char *ext_address_text) {
  if (!core::uci_lock_stayed_taken()) core::_system("uci -q delete sensorlist.@%s[]", ext_address_text);
}

void set_sensor_option(const char *ext_address_text, const char *option, const char *value) {
  if (!core::uci_lock_stayed_taken())
    core::_system("uci set sensorlist.@%s[].%s=\"%s\"", ext_address_text, option, value);
}

void set_sensor_number(const char *ext_address_text, const char *option, int value) {
  if (!core::uci_lock_stayed_taken())
    core::_system("uci set sensorlist.@%s[].%s=\"%d\"", ext_address_text, option, value);
}

void set_sensor_short_address(const char *ext_address_text, unsigned short_address) {
  if (!core::uci_lock_stayed_taken())
    core::_system("uci set sensorlist.@%s[].ShortAddress=\"%04X\"", ext_address_text, short_address);
}

void add_coprocessor_section() {
  if (!core::uci_lock_stayed_taken()) core::run_quiet_shell_command("uci -q add sensorlist Coprocessor");
}

void set_coprocessor_option(const char *option, const char *value) {
  if (!core::uci_lock_stayed_taken()) core::_system("uci set sensorlist.@Coprocessor[].%s=\"%s\"", option, value);
}

void reset_start_count() {
  if (!core::uci_lock_stayed_taken()) core::run_shell_command("uci set sensorlist.@Coprocessor[].StartCount=0");
}

namespace {

void say_lost_commit(const char *sensor, const char *what, const char *why) {
  char count[24] = "";
  if (const std::uint32_t so_far = shared::count_lost_commit()) std::snprintf(count, sizeof count, " (%u so far)", so_far);
  core::log_line("sensorlist commit for %s did not take: %s %s%s\n", sensor, what, why, count);
}

}  // namespace

bool commit_sensorlist(const char *sensor, const char *what) {
  long long waited = 0;
  if (core::uci_lock_stayed_taken(&waited)) {
    char why[96];
    std::snprintf(why, sizeof why, "not written: uci's lock on %s stayed with another program for %lld s",
                  core::kUciSensorlistFile, waited);
    say_lost_commit(sensor, what, why);
    return false;
  }
  // Changes are staged when the save file holds something: the router's tool empties it after a
  // commit rather than removing it.
  const FileVersion staged = file_version(kStagedSensorlist);
  const FileVersion committed = file_version(kSensorlistFile);
  core::_system("%s", kCommitSensorlist);
  // With changes staged, a commit that took (ours, or another process's that wrote ours with its
  // own) has replaced the configuration file. One that could not write leaves the file as it was;
  // the router's tool has then also emptied the save file, ours keeps it.
  if (!staged.present || staged.size == 0 || !same_version(committed, file_version(kSensorlistFile))) return true;
  say_lost_commit(sensor, what, "kept in memory only, lost at a restart");
  return false;
}

}  // namespace vorn::devices
