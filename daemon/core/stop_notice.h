// A line a process says when an orderly stop (SIGTERM, SIGINT or SIGHUP) ends it: the stop's
// signal handler runs no output functions, so the line is made ready beforehand.
#pragma once

namespace vorn::core {

// Makes the line ready (cut to 255 characters); the next call replaces it.
void set_stop_notice(const char *format, ...) __attribute__((format(printf, 1, 2)));
void clear_stop_notice();

// From the stop's signal handler: writes the line, when one is ready, to standard output.
void say_stop_notice();

// Writes `text` and the decimal `number` (async-signal-safe), for the stop's own lines.
void write_number_line(const char *before, long number, const char *after);

}  // namespace vorn::core
