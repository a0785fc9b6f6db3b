// The daemon's log lines: "[local time] uptime: " and the text, as one write.
#pragma once

#include <cstddef>
#include <cstdio>

namespace vorn::core {

constexpr std::size_t kTimestampBufferSize = 30;

// Local time as "%Y-%m-%d %H:%M:%S". The buffer belongs to the calling thread, so the transmit
// thread and the main thread never see each other's stamp.
const char *timestamp_text();
long uptime_seconds();

// Writes "[<timestamp_text()>] <uptime_seconds()>: " and the formatted text to standard output
// (log_line) or to `stream`, holding the stream's lock so no other thread's line comes between.
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_line_to(std::FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vorn::core
