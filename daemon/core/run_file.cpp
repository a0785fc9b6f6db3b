#include "core/run_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorn::core {

namespace {

int run_file_fd = -1;

}  // namespace

void claim_run_file() {
  const int fd = open(kRunFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "vorn_mgr: cannot open %s: %s\n", kRunFile, std::strerror(errno));
    std::exit(1);
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    char pid[16] = {};
    const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
    if (n > 0) pid[n] = '\0';
    pid[std::strcspn(pid, "\n")] = '\0';
    std::fprintf(stderr, "vorn_mgr is already running (process %s, %s locked), not starting a second one\n",
                 n > 0 ? pid : "?", kRunFile);
    std::exit(1);
  }
  char text[24];
  const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<std::size_t>(length), 0) != length)
    std::fprintf(stderr, "vorn_mgr: cannot write %s: %s\n", kRunFile, std::strerror(errno));
  run_file_fd = fd;
}

void release_run_file_in_child() {
  if (run_file_fd < 0) return;
  close(run_file_fd);
  run_file_fd = -1;
}

}  // namespace vorn::core
