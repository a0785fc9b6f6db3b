// Small helpers every part of the daemon uses: little-endian field access, ExtAddress handling,
// log time stamps, the shell-command runner and the diagnostic hex dump.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::core {

constexpr std::size_t kExtAddressSize = 8;
constexpr std::size_t kExtAddressTextSize = 17;  // 16 hex digits and the terminator
constexpr std::size_t kTimestampBufferSize = 30;

std::uint16_t read_le16(const std::uint8_t *p);
std::uint32_t read_le32(const std::uint8_t *p);
std::uint8_t *write_le16(std::uint8_t *p, std::uint16_t value);
std::uint8_t *write_le32(std::uint8_t *p, std::uint32_t value);

void copy_ext_address(std::uint8_t *destination, const std::uint8_t *source);
int ext_address_is_set(const std::uint8_t *ext_address);
// Writes the 16-digit text form (most significant byte first) into `text` (17 bytes).
void ext_address_text(const std::uint8_t *ext_address, char *text);
// Parses 16 hexadecimal digits (most significant byte first) into the 8 link-order bytes.
// Returns false, leaving `ext_address` untouched, when the text is not exactly that.
bool parse_ext_address_text(const char *text, std::uint8_t *ext_address);
// The same for 16 digits that start a longer text (a configuration line, a request payload).
bool parse_ext_address_digits(const char *digits, std::uint8_t *ext_address);
// True when `text` is exactly 16 hexadecimal digits: the only form allowed into shell commands.
bool is_ext_address_text(const char *text);

// True when a text from outside may be placed between double quotes in a uci or shell command:
// printable ASCII without the characters the shell or the configuration file would interpret.
bool is_safe_command_value(const char *text);

// Local time as "%Y-%m-%d %H:%M:%S". The buffer belongs to the calling thread, so the transmit
// thread and the main thread never see each other's stamp.
const char *timestamp_text();
long uptime_seconds();

// Formats a shell command (at most 511 characters) and runs it; returns the formatted length.
// A command that does not fit is refused: nothing runs, one line goes to standard error, -1.
int _system(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The one way the daemon runs a shell command: our buffered output goes first, so a line is
// never printed twice by a process that forks later, and the shell's lines stay in order. Runs
// /bin/sh -c with the text and waits for that shell alone; returns its wait status (-1 when it
// could not be started).
int run_shell_command(const char *command);

void hex_dump(const std::uint8_t *data, std::size_t count);
void print_collector_state(std::uint8_t state);
void print_network_mode(int mode);

}  // namespace vorn::core
