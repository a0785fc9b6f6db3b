#include "core/stop_notice.h"

#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn::core {

namespace {

char notice[256];
volatile sig_atomic_t notice_ready = 0;

void write_all(const char *text, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(STDOUT_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void set_stop_notice(const char *format, ...) {
  notice_ready = 0;
  va_list args;
  va_start(args, format);
  std::vsnprintf(notice, sizeof notice, format, args);
  va_end(args);
  notice_ready = 1;
}

void clear_stop_notice() { notice_ready = 0; }

void say_stop_notice() {
  if (notice_ready) write_all(notice, std::strlen(notice));
}

void write_number_line(const char *before, long number, const char *after) {
  char digits[24];
  std::size_t at = sizeof digits;
  const bool negative = number < 0;
  unsigned long value = negative ? 0ul - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && at > 1);
  if (negative) digits[--at] = '-';
  write_all(before, std::strlen(before));
  write_all(digits + at, sizeof digits - at);
  write_all(after, std::strlen(after));
}

}  // namespace vorn::core
