#include "devices/file_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::devices {

namespace {

// A file whose times are at least this much older than the snapshot has not changed since unless
// its times moved: any later change stamps a later time, whatever the clock's tick.
constexpr time_t kSettledSeconds = 1;

bool missing(int error) { return error == ENOENT || error == ENOTDIR; }

timespec realtime_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

bool same_time(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool before_settled(const timespec &time, const timespec &taken) {
  return time.tv_sec < taken.tv_sec - kSettledSeconds ||
         (time.tv_sec == taken.tv_sec - kSettledSeconds && time.tv_nsec < taken.tv_nsec);
}

void take_identity(FileSnapshot &snapshot, const struct stat &info, const timespec &taken) {
  snapshot.device = info.st_dev;
  snapshot.inode = info.st_ino;
  snapshot.modified = info.st_mtim;
  snapshot.changed = info.st_ctim;
  snapshot.recent = !before_settled(info.st_mtim, taken) || !before_settled(info.st_ctim, taken);
}

bool same_identity(const FileSnapshot &known, const struct stat &info) {
  return known.device == info.st_dev && known.inode == info.st_ino &&
         static_cast<std::size_t>(info.st_size) == known.bytes.size() && same_time(known.modified, info.st_mtim) &&
         same_time(known.changed, info.st_ctim);
}

// Whether the open file holds exactly `bytes`, compared piece by piece without a copy: a handler
// looks in a process where every page it writes first is copied.
bool holds_bytes(int fd, const std::string &bytes) {
  char chunk[4096];
  for (std::size_t offset = 0;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 && offset == bytes.size();
    const auto length = static_cast<std::size_t>(n);
    if (offset + length > bytes.size() || std::memcmp(chunk, bytes.data() + offset, length) != 0) return false;
    offset += length;
  }
}

}  // namespace

FileSnapshot take_snapshot(const char *path, std::size_t largest) {
  FileSnapshot snapshot;
  const timespec taken = realtime_now();
  // Not blocking, so that a FIFO in the file's place holds nobody up.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    snapshot.state = missing(errno) ? FileSnapshot::State::kMissing : FileSnapshot::State::kUnreadable;
    return snapshot;
  }
  struct stat info {};
  snapshot.state = FileSnapshot::State::kUnreadable;
  const bool stated = fstat(fd, &info) == 0;
  if (stated && !S_ISREG(info.st_mode)) {
    snapshot.state = FileSnapshot::State::kMissing;  // the uci library looks only for files
  } else if (stated && static_cast<std::size_t>(info.st_size) <= largest) {
    take_identity(snapshot, info, taken);
    snapshot.bytes.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || snapshot.bytes.size() + static_cast<std::size_t>(n) > largest) break;
      if (n == 0) {
        snapshot.state = FileSnapshot::State::kRead;
        break;
      }
      snapshot.bytes.append(chunk, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  if (snapshot.state != FileSnapshot::State::kRead) snapshot.bytes.clear();
  return snapshot;
}

bool still_holds(const char *path, FileSnapshot &known) {
  const timespec now = realtime_now();
  struct stat info {};
  if (stat(path, &info) != 0) return known.state == FileSnapshot::State::kMissing && missing(errno);
  if (!S_ISREG(info.st_mode)) return known.state == FileSnapshot::State::kMissing;
  if (known.state != FileSnapshot::State::kRead) return false;
  if (same_identity(known, info) && !known.recent) return true;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat opened {};
  const bool same = fstat(fd, &opened) == 0 && holds_bytes(fd, known.bytes);
  close(fd);
  if (same) take_identity(known, opened, now);
  return same;
}

}  // namespace vorn::devices
