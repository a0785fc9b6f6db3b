// The one way the daemon reads and writes the sensorlist configuration: reads of one value in this
// process through the uci library, giving what `uci -q get` prints; the other reads through a
// pipe taking a command's first output line; writes as uci commands, grouped and ended by one
// commit.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

namespace vorn::devices {

constexpr const char *kCommitSensorlist = "uci commit sensorlist; sync";
// The package's file, and where uci keeps its changes until a commit writes them there (memory).
constexpr const char *kSensorlistFile = "/etc/config/sensorlist";
constexpr const char *kStagedSensorlist = "/tmp/.uci/sensorlist";

struct PipeCloser {
  void operator()(FILE *pipe) const { pclose(pipe); }
};
using ReadPipe = std::unique_ptr<FILE, PipeCloser>;

// Starts a read command (flushing our output first, so the child never repeats it).
ReadPipe open_read_pipe(const char *command);

// Reads one line (line end included) of a command's output into `line`; false at the end of the
// output. A read broken by a signal is taken up again, never taken for the end.
bool read_pipe_line(FILE *pipe, char *line, std::size_t size);

enum class LineRead {
  kLine,    // a non-empty first line was read
  kNoLine,  // the command ran and printed nothing; the value is absent
  kNotRun,  // nothing could be read: the command or address did not fit its buffer, the command
            // could not be started, or the package could not be loaded (unreadable, malformed,
            // no memory). Not the same as absent.
};

// Formats and runs a read command and keeps its first output line (line end included) in `line`,
// which is cleared first.
LineRead read_line(char *line, std::size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// True when a first line was read.
bool read_first_line(char *line, std::size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The decimal value of a read command's first line; 0 when absent.
int read_int_value(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Reads of one value of sensorlist, formatted as its uci address ("sensorlist.@%s[].RemoveSensor",
// "sensorlist.@%s[]" for a section's type; "@type[N]" counts sections of that type), in this
// process: `line` gets the first line of what `uci -q get <address>` would print now (line end
// included, cut to the buffer), from the same files, staged changes included. A missing package,
// section or option is kNoLine, as the command prints nothing; a package that cannot be loaded is
// kNotRun, where the command would print nothing too. The package is loaded again only when its
// files have changed since this thread last loaded it.
LineRead get_line(char *line, std::size_t size, const char *address_format, ...) __attribute__((format(printf, 3, 4)));
// True when a first line was read.
bool get_first_line(char *line, std::size_t size, const char *address_format, ...) __attribute__((format(printf, 3, 4)));
// The decimal value of the first line; 0 when absent or unreadable.
int get_int_value(const char *address_format, ...) __attribute__((format(printf, 1, 2)));

// Loads sensorlist in this thread when its files changed since it last did, so that the handler
// processes it forks find it parsed and only look whether the files changed since.
void keep_sensorlist_parsed();

// The event interval the cloud asked for a sensor (0 when none).
int read_event_interval_wanted(const char *ext_address_text);

// The writes. Each runs one uci command (the texts below, values between double quotes); the
// caller holds core::SensorlistWriteLock for the whole group and ends it with commit_sensorlist.
// Values come from the daemon's own formatting or have passed core::is_safe_command_value, and
// sensor ids are 16 hexadecimal digits.

// "uci -q add sensorlist <sensor id>", its output (the new section's name) not kept
void add_sensor_section(const char *ext_address_text);
// "uci -q delete sensorlist.@<sensor id>[]"
void delete_sensor_section(const char *ext_address_text);
// "uci set sensorlist.@<sensor id>[].<option>=\"<value>\""
void set_sensor_option(const char *ext_address_text, const char *option, const char *value);
// The same with a decimal number, and with the short address as 4 hexadecimal digits.
void set_sensor_number(const char *ext_address_text, const char *option, int value);
void set_sensor_short_address(const char *ext_address_text, unsigned short_address);
// "uci -q add sensorlist Coprocessor", its output not kept
void add_coprocessor_section();
// "uci set sensorlist.@Coprocessor[].<option>=\"<value>\""
void set_coprocessor_option(const char *option, const char *value);
// "uci set sensorlist.@Coprocessor[].StartCount=0"
void reset_start_count();

// Ends a group of writes about `sensor` (a sensor id, or "Coprocessor") that change `what`. The
// shell's status is not the commit's, so the files are looked at afterwards: when changes were
// staged and still are, and the configuration file was not replaced, the commit did not take (the
// configuration folder is full or unwritable). That is said in one line naming the sensor and
// what was lost, and counted (the status object's "sensorlist_commits_lost"); the changes stay
// staged for the next commit to write, as uci does. False then. A sequence whose wait for uci's
// lock ran out (core/sensorlist_lock.h) has run none of its writes: that is said and counted the
// same way.
bool commit_sensorlist(const char *sensor = "Coprocessor", const char *what = "its settings");

}  // namespace vorn::devices
