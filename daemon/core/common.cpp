#include "core/common.h"

#include <spawn.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace vorn::core {

std::uint16_t read_le16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t read_le32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint8_t *write_le16(std::uint8_t *p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  return p + 2;
}

std::uint8_t *write_le32(std::uint8_t *p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return p + 4;
}

void copy_ext_address(std::uint8_t *destination, const std::uint8_t *source) {
  std::memcpy(destination, source, kExtAddressSize);
}

int ext_address_is_set(const std::uint8_t *ext_address) {
  for (std::size_t i = 0; i < kExtAddressSize; ++i)
    if (ext_address[i] != 0) return 1;
  return 0;
}

void ext_address_text(const std::uint8_t *a, char *text) {
  std::snprintf(text, kExtAddressTextSize, "%02X%02X%02X%02X%02X%02X%02X%02X", a[7], a[6], a[5],
                a[4], a[3], a[2], a[1], a[0]);
}

bool is_ext_address_text(const char *text) {
  if (text == nullptr) return false;
  for (int i = 0; i < 16; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return text[16] == '\0';
}

bool is_safe_command_value(const char *text) {
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < 0x20 || *c > 0x7E) return false;
    if (std::strchr("\"\\$`'", *c) != nullptr) return false;
  }
  return true;
}

static int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
}

bool parse_ext_address_text(const char *text, std::uint8_t *ext_address) {
  return is_ext_address_text(text) && parse_ext_address_digits(text, ext_address);
}

bool parse_ext_address_digits(const char *text, std::uint8_t *ext_address) {
  for (int i = 0; i < 16; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  for (int pair = 0; pair < 8; ++pair) {
    ext_address[7 - pair] = static_cast<std::uint8_t>(hex_digit_value(text[2 * pair]) * 16 +
                                                      hex_digit_value(text[2 * pair + 1]));
  }
  return true;
}

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

int _system(const char *format, ...) {
  char command[512];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(command, sizeof command, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
    std::fprintf(stderr, "_system: command of %d characters does not fit in 511, not run\n", length);
    return -1;
  }
  run_shell_command(command);
  return length;
}

int run_shell_command(const char *command) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Not system(): it ignores SIGINT and SIGQUIT in the whole process while the command runs, so a
  // stop asked meanwhile would be lost, and processes forked meanwhile would keep ignoring them.
  // The shell starts with the signals the daemon catches or ignores back at their defaults.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD}) sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char shell[] = "sh", option[] = "-c";
  char *arguments[] = {shell, option, const_cast<char *>(command), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, arguments, environ);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start /bin/sh for \"%.60s\": %s\n", command, std::strerror(rc));
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void hex_dump(const std::uint8_t *data, std::size_t count) {
  char column[17] = {};
  std::size_t i = 0;
  for (; i < count; ++i) {
    std::printf("%02X ", data[i]);
    column[i % 16] = (data[i] >= 0x20 && data[i] <= 0x7E) ? static_cast<char>(data[i]) : '.';
    if ((i + 1) % 8 == 0 || i + 1 == count) std::printf(" ");
    if ((i + 1) % 16 == 0) {
      column[16] = '\0';
      std::printf("|  %s \n", column);
    }
  }
  std::size_t tail = count % 16;
  if (tail != 0) {
    column[tail] = '\0';
    if (tail <= 8) std::printf(" ");
    for (std::size_t j = tail; j < 16; ++j) std::printf("   ");
    std::printf("|  %s \n", column);
  }
}

void print_collector_state(std::uint8_t state) {
  static const char *const names[] = {"Waiting\n",  "Starting\n",  "Restoring\n", "Started\n",
                                      "Restored\n", "Join Open\n", "Join Close\n"};
  std::fputs(state < 7 ? names[state] : "Unknow State\n", stdout);
}

void print_network_mode(int mode) {
  switch (mode) {
    case 1: std::fputs("Beacon Enabled\n", stdout); break;
    case 2: std::fputs("Non Beacon\n", stdout); break;
    case 3: std::fputs("Freq Hopping\n", stdout); break;
    default: std::fputs("Unknown Mode\n", stdout); break;
  }
}

}  // namespace vorn::core
