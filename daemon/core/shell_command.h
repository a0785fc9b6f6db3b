// The one way the daemon runs a shell command, and the check every outside text passes before it
// is placed in one.
#pragma once

namespace vorn::core {

// True when a text from outside may be placed between double quotes in a uci or shell command:
// printable ASCII without the characters the shell or the configuration file would interpret.
bool is_safe_command_value(const char *text);

// Formats a shell command (at most 511 characters) and runs it; returns the formatted length.
// A command that does not fit is refused: nothing runs, one line goes to standard error, -1.
int _system(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Our buffered output goes first, so a line is never printed twice by a process that forks later,
// and the shell's lines stay in order. Runs /bin/sh -c with the text and waits for that shell
// alone; returns its wait status (-1 when it could not be started).
int run_shell_command(const char *command);

// The same with the command's standard output thrown away (its errors still reach ours): for a
// command whose output is of no use to anyone, such as the new section's name "uci -q add" prints,
// which would otherwise fill the daemon's log.
int run_quiet_shell_command(const char *command);
int _system_quiet(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vorn::core
