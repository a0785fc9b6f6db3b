#include "core/shell_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace vorn::core {

bool is_safe_command_value(const char *text) {
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < 0x20 || *c > 0x7E) return false;
    if (std::strchr("\"\\$`'", *c) != nullptr) return false;
  }
  return true;
}

namespace {

int run_shell(const char *command, bool quiet) {
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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  char shell[] = "sh", option[] = "-c";
  char *arguments[] = {shell, option, const_cast<char *>(command), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
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

int vsystem(bool quiet, const char *format, va_list args) {
  char command[512];
  int length = std::vsnprintf(command, sizeof command, format, args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
    std::fprintf(stderr, "_system: command of %d characters does not fit in 511, not run\n", length);
    return -1;
  }
  run_shell(command, quiet);
  return length;
}

}  // namespace

int _system(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int length = vsystem(false, format, args);
  va_end(args);
  return length;
}

int _system_quiet(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int length = vsystem(true, format, args);
  va_end(args);
  return length;
}

int run_shell_command(const char *command) { return run_shell(command, false); }

int run_quiet_shell_command(const char *command) { return run_shell(command, true); }

}  // namespace vorn::core
