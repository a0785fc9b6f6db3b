#include "core/run_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorn::core {

namespace {

int run_file_fd = -1;

// The process holding the exclusive flock of the open file, as the kernel lists it in /proc/locks
// ("1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF"); 0 when none is listed. The run
// file may be empty: /var/run full when its holder started.
long flock_holder(int fd) {
  struct stat file {};
  if (fstat(fd, &file) != 0) return 0;
  FILE *locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  long holder = 0, same_inode = 0;
  char line[256];
  while (std::fgets(line, sizeof line, locks) != nullptr) {
    long pid = 0;
    unsigned major_number = 0, minor_number = 0;
    unsigned long inode = 0;
    char mode[16] = {};
    // Waiters are listed with "->" before the kind, and are not what the pattern reads.
    if (std::sscanf(line, "%*d: FLOCK %*s %15s %ld %x:%x:%lu", mode, &pid, &major_number, &minor_number, &inode) != 5 ||
        std::strcmp(mode, "WRITE") != 0 || inode != file.st_ino)
      continue;
    if (major_number == major(file.st_dev) && minor_number == minor(file.st_dev)) holder = pid;
    else same_inode = pid;  // a layered file system may list the lower file's device
  }
  std::fclose(locks);
  return holder != 0 ? holder : same_inode;
}

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
    if (pid[0] == '\0') {
      if (const long holder = flock_holder(fd)) std::snprintf(pid, sizeof pid, "%ld", holder);
    }
    if (pid[0] != '\0')
      std::fprintf(stderr, "vorn_mgr is already running (process %s, %s locked), not starting a second one\n",
                   pid, kRunFile);
    else
      std::fprintf(stderr, "vorn_mgr is already running (%s locked, its process not known), not starting a second one\n",
                   kRunFile);
    std::exit(1);
  }
  // Written over the old text before the rest is cut: with the file system full, the block the
  // file already has still takes the new id, where an emptied file would take nothing.
  char text[24];
  const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  if (pwrite(fd, text, static_cast<std::size_t>(length), 0) != length || ftruncate(fd, length) != 0)
    std::fprintf(stderr, "vorn_mgr: cannot write %s: %s\n", kRunFile, std::strerror(errno));
  run_file_fd = fd;
}

void release_run_file_in_child() {
  if (run_file_fd < 0) return;
  close(run_file_fd);
  run_file_fd = -1;
}

}  // namespace vorn::core
